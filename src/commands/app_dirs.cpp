// Base folders of the page's path module on Linux.
#include "commands/app_dirs.hpp"

#include <gio/gio.h>

#include <cstdlib>

#include "support/bundle.hpp"
#include "support/fs.hpp"
#include "support/glib_ptr.hpp"
#include "support/paths.hpp"

namespace vessa::commands::app_dirs {
namespace {

namespace stdfs = std::filesystem;

// The identifier the build writes into Info.json; used when not running from the bundle.
constexpr const char* kBuiltIdentifier = "app.vessa.desktop";

std::optional<std::string> absolute_env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] != '/') return std::nullopt;
  return std::string(value);
}

std::string cache_home() {
  return absolute_env("XDG_CACHE_HOME").value_or(paths::home_dir() + "/.cache");
}

// One entry of user-dirs.dirs (XDG_<NAME>_DIR="$HOME/..." or an absolute path). A folder set to
// the home folder itself means "disabled", as xdg-user-dirs writes it.
std::optional<stdfs::path> user_dir(const std::string& name) {
  auto text = fs::read_file(paths::config_home() + "/user-dirs.dirs");
  if (!text) return std::nullopt;
  const std::string key = "XDG_" + name + "_DIR=";
  size_t pos = 0;
  std::optional<stdfs::path> found;
  while (pos < text->size()) {
    size_t end = text->find('\n', pos);
    if (end == std::string::npos) end = text->size();
    std::string line = text->substr(pos, end - pos);
    pos = end + 1;
    if (!line.starts_with(key)) continue;
    std::string value = line.substr(key.size());
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    const std::string home = paths::home_dir();
    if (value.starts_with("$HOME")) value.replace(0, 5, home);
    if (value.empty() || value[0] != '/') continue;
    stdfs::path dir = stdfs::path(value).lexically_normal();
    if (dir == stdfs::path(home).lexically_normal() || dir.string() == home + "/") continue;
    found = dir;  // the last entry wins, as in a shell
  }
  return found;
}

stdfs::path resource_dir() {
  if (auto resources = paths::bundle_resources_dir()) return *resources;
  return paths::executable_path().parent_path();
}

// The folders that make one user's data, one a line, each resolved as far as it exists (the
// same folder reached through a link or with a trailing slash counts once).
std::string data_folders_key(const std::string& home, const std::string& config,
                             const std::string& data) {
  std::string key;
  for (const std::string& dir : {home, config, data}) {
    std::error_code ec;
    stdfs::path resolved = stdfs::weakly_canonical(dir, ec);
    std::string text = (ec ? stdfs::path(dir) : resolved).lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    key += text + '\n';
  }
  return key;
}

}  // namespace

std::string identifier() {
  auto id = bundle::info_string("CFBundleIdentifier", "");
  return id.empty() ? kBuiltIdentifier : id;
}

std::string instance_id() {
  const std::string account = paths::account_home();
  const std::string usual =
      data_folders_key(account, account + "/.config", account + "/.local/share");
  const std::string own =
      data_folders_key(paths::home_dir(), paths::config_home(), paths::data_home());
  std::string suffix;
  if (own != usual) {
    GCharPtr digest(g_compute_checksum_for_string(G_CHECKSUM_SHA256, own.c_str(), -1));
    suffix = ".h" + std::string(digest.get(), 12);
  }
  // The bus name is made of the identifier: one that cannot carry it falls back to the built one.
  std::string id = identifier() + suffix;
  return g_application_id_is_valid(id.c_str()) != FALSE ? id : kBuiltIdentifier + suffix;
}

stdfs::path app_data_dir() { return stdfs::path(paths::data_home()) / identifier(); }

std::optional<stdfs::path> base_dir(int code) {
  std::string home = paths::home_dir();
  switch (static_cast<Base>(code)) {
    case Base::kAudio:
      return user_dir("MUSIC");
    case Base::kCache:
      return cache_home();
    case Base::kConfig:
      return paths::config_home();
    case Base::kData:
    case Base::kLocalData:
      return paths::data_home();
    case Base::kDocument:
      return user_dir("DOCUMENTS");
    case Base::kDownload:
      return user_dir("DOWNLOAD");
    case Base::kPicture:
      return user_dir("PICTURES");
    case Base::kPublic:
      return user_dir("PUBLICSHARE");
    case Base::kVideo:
      return user_dir("VIDEOS");
    case Base::kResource:
      return resource_dir();
    case Base::kTemp:
      return absolute_env("TMPDIR").value_or("/tmp");
    case Base::kAppConfig:
      return stdfs::path(paths::config_home()) / identifier();
    case Base::kAppData:
    case Base::kAppLocalData:
      return app_data_dir();
    case Base::kAppCache:
      return stdfs::path(cache_home()) / identifier();
    case Base::kAppLog:
      return app_data_dir() / "logs";
    case Base::kDesktop:
      return user_dir("DESKTOP");
    case Base::kExecutable:
      if (auto bin = absolute_env("XDG_BIN_HOME")) return *bin;
      return (stdfs::path(paths::data_home()) / ".." / "bin").lexically_normal();
    case Base::kFont:
      return stdfs::path(paths::data_home()) / "fonts";
    case Base::kHome:
      return home;
    case Base::kRuntime:
      if (auto runtime = absolute_env("XDG_RUNTIME_DIR")) return *runtime;
      return std::nullopt;
    case Base::kTemplate:
      return user_dir("TEMPLATES");
  }
  return std::nullopt;
}

}  // namespace vessa::commands::app_dirs
