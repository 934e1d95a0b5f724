// The Taskwright runtime home's layout and the predicates that read it.
#include "commands/taskwright/taskwright_paths.hpp"

#include <sys/stat.h>

#include <filesystem>

#include "support/fs.hpp"
#include "support/paths.hpp"
#include "support/utf8.hpp"

namespace vessa::commands::taskwright {
namespace {

constexpr const char* kInstallerName = "install-taskwright.sh";
constexpr int kAncestorLevels = 10;

bool file_exists(const std::filesystem::path& p) {
  std::error_code ec;
  return std::filesystem::exists(p, ec);
}

std::string trim_spaces_and_tabs(std::string_view s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string_view::npos) return "";
  size_t e = s.find_last_not_of(" \t");
  return std::string(s.substr(b, e - b + 1));
}

}  // namespace

std::string home() { return paths::home_dir() + "/.vessa-taskwright"; }
std::string binary() { return home() + "/bin/radaro"; }
std::string data_dir() { return home() + "/home"; }
std::string incomplete_marker() { return home() + "/.install-incomplete"; }
std::string in_progress_marker() {
  return paths::home_dir() + "/.vessa/taskwright-install-in-progress";
}
std::string installed_version_file() { return home() + "/.installed-version"; }

bool item_exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

bool isInstalled() {
  return file_exists(binary()) && !file_exists(in_progress_marker()) &&
         !file_exists(incomplete_marker());
}

bool isInstallIncomplete() {
  return file_exists(in_progress_marker()) || file_exists(incomplete_marker());
}

std::optional<std::string> readInstalledTag() {
  auto text = fs::read_file(installed_version_file());
  if (!text || !is_valid_utf8(*text)) return std::nullopt;
  constexpr std::string_view kPrefix = "upstream_tag=";
  std::string_view rest(*text);
  // "\r" ends a line too, so a file written with CR LF yields a clean tag.
  while (true) {
    size_t nl = rest.find_first_of("\r\n");
    std::string_view line = rest.substr(0, nl);
    if (line.starts_with(kPrefix)) {
      return trim_spaces_and_tabs(line.substr(kPrefix.size()));
    }
    if (nl == std::string_view::npos) break;
    rest.remove_prefix(nl + 1);
  }
  return std::nullopt;
}

std::optional<std::string> locateInstaller() {
  if (auto resources = paths::bundle_resources_dir()) {
    auto candidate = *resources / "taskwright" / kInstallerName;
    if (file_exists(candidate)) return candidate.string();
  }
  std::filesystem::path dir = paths::executable_path().parent_path();
  for (int level = 0; level < kAncestorLevels; ++level) {
    auto candidate = dir / "apps" / "desktop" / "taskwright" / kInstallerName;
    if (file_exists(candidate)) return candidate.string();
    dir = dir.parent_path();
  }
  return std::nullopt;
}

}  // namespace vessa::commands::taskwright
