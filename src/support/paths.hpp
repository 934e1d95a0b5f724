// Home, XDG and bundle locations.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace vessa::paths {

/// $HOME when set and non-empty, else account_home().
std::string home_dir();
/// The password database's home folder of this user ("/" when it has none).
std::string account_home();
/// $XDG_CONFIG_HOME when absolute, else home + "/.config".
std::string config_home();
/// $XDG_DATA_HOME when absolute, else home + "/.local/share".
std::string data_home();
/// $XDG_CACHE_HOME when absolute, else home + "/.cache".
std::string cache_home();

/// Path of the running executable (/proc/self/exe resolved).
std::filesystem::path executable_path();

/// The bundle folder (`Vessa.app`) when `<exe dir>/../Info.json` exists.
std::optional<std::filesystem::path> bundle_dir();
/// `<bundle>/Resources` when running from a bundle.
std::optional<std::filesystem::path> bundle_resources_dir();

/// Test hook: makes the bundle lookup start from `exe` instead of /proc/self/exe (empty: reset).
void set_executable_path_for_testing(const std::filesystem::path& exe);

/// True when `path` is a regular file with an execute bit for this user.
bool is_executable_file(const std::filesystem::path& path);

/// The file:// URI of `path` made absolute; nullopt for an empty path, one holding a NUL, or
/// one GLib cannot encode.
std::optional<std::string> file_uri(const std::string& path);

}  // namespace vessa::paths
