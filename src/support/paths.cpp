// Home, XDG and bundle locations.
#include "support/paths.hpp"

#include <glib.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <system_error>
#include <vector>

#include "support/glib_ptr.hpp"

namespace vessa::paths {
namespace {

std::string env_or_empty(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::string(v) : std::string();
}

std::mutex& exe_mutex() {
  static std::mutex m;
  return m;
}
std::filesystem::path& exe_override() {
  static std::filesystem::path p;
  return p;
}

}  // namespace

std::string home_dir() {
  std::string home = env_or_empty("HOME");
  if (!home.empty()) return home;
  return account_home();
}

std::string account_home() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd pw{};
  passwd* result = nullptr;
  if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &result) == 0 && result != nullptr &&
      result->pw_dir != nullptr) {
    return result->pw_dir;
  }
  return "/";
}

std::string config_home() {
  std::string v = env_or_empty("XDG_CONFIG_HOME");
  if (!v.empty() && v.front() == '/') return v;
  return home_dir() + "/.config";
}

std::string data_home() {
  std::string v = env_or_empty("XDG_DATA_HOME");
  if (!v.empty() && v.front() == '/') return v;
  return home_dir() + "/.local/share";
}

std::string cache_home() {
  std::string v = env_or_empty("XDG_CACHE_HOME");
  if (!v.empty() && v.front() == '/') return v;
  return home_dir() + "/.cache";
}

std::filesystem::path executable_path() {
  {
    std::scoped_lock lock(exe_mutex());
    if (!exe_override().empty()) return exe_override();
  }
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : p;
}

void set_executable_path_for_testing(const std::filesystem::path& exe) {
  std::scoped_lock lock(exe_mutex());
  exe_override() = exe;
}

std::optional<std::filesystem::path> bundle_dir() {
  auto exe = executable_path();
  if (exe.empty()) return std::nullopt;
  auto bundle = exe.parent_path().parent_path();
  std::error_code ec;
  if (std::filesystem::is_regular_file(bundle / "Info.json", ec)) return bundle;
  return std::nullopt;
}

std::optional<std::filesystem::path> bundle_resources_dir() {
  auto bundle = bundle_dir();
  if (!bundle) return std::nullopt;
  return *bundle / "Resources";
}

bool is_executable_file(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec) && ::access(path.c_str(), X_OK) == 0;
}

std::optional<std::string> file_uri(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return std::nullopt;
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  if (ec) return std::nullopt;
  GCharPtr uri(g_filename_to_uri(absolute.c_str(), nullptr, nullptr));
  if (uri == nullptr) return std::nullopt;
  return std::string(uri.get());
}

}  // namespace vessa::paths
