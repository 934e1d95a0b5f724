#include "support/config_file.hpp"

#include <filesystem>
#include <system_error>
#include <utility>

namespace vessa {

std::mutex& config_file_mutex() {
  static std::mutex m;
  return m;
}

tl::expected<ConfigFileLock, std::string> ConfigFileLock::acquire(const std::string& config_path) {
  std::unique_lock local(config_file_mutex());
  fs::create_directories(std::filesystem::path(config_path).parent_path().string(), 0700);
  auto file = fs::FileLock::acquire(config_path);
  if (!file) return tl::unexpected(file.error());
  return ConfigFileLock(std::move(local), std::move(*file));
}

ConfigRead read_config(const std::string& path) {
  ConfigRead r;
  std::error_code ec;
  r.exists = std::filesystem::exists(path, ec);
  if (auto text = fs::read_file(path)) {
    if (auto parsed = parse_json(*text); parsed && parsed->is_object()) {
      r.readable = true;
      r.object = std::move(*parsed);
    }
  }
  return r;
}

}  // namespace vessa
