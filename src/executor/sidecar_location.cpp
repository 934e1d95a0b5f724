// Where the executor program, its browsers and the app's data live.
#include "executor/sidecar_location.hpp"

#include <string>
#include <system_error>

#include "build_config.hpp"
#include "support/paths.hpp"

namespace vessa::executor {

std::filesystem::path appDataDir() {
  return std::filesystem::path(paths::data_home()) / "vessa.app";
}

std::optional<std::filesystem::path> locateSidecar() {
  if (auto resources = paths::bundle_resources_dir()) {
    auto bundled = *resources / "vessa-executor";
    if (paths::is_executable_file(bundled)) return bundled;
  }
  auto dir = paths::executable_path().parent_path();
  if (dir.empty()) return std::nullopt;
  const std::string dev_name = std::string("vessa-executor-") + build::kTargetTriple;
  for (int i = 0; i < 8; ++i) {
    auto candidate = dir / "apps/desktop/src-tauri/binaries" / dev_name;
    if (paths::is_executable_file(candidate)) return candidate;
    if (!dir.has_parent_path() || dir.parent_path() == dir) break;
    dir = dir.parent_path();
  }
  return std::nullopt;
}

std::optional<std::filesystem::path> locatePlaywrightDir() {
  auto resources = paths::bundle_resources_dir();
  if (!resources) return std::nullopt;
  std::error_code ec;
  if (!std::filesystem::is_directory(*resources, ec)) return std::nullopt;
  auto pw = *resources / "pw";
  if (!std::filesystem::exists(pw, ec)) return std::nullopt;
  return pw;
}

}  // namespace vessa::executor
