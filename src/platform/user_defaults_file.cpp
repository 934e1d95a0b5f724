// User defaults kept in $XDG_CONFIG_HOME/vessa/defaults.json.
#include "platform/user_defaults_file.hpp"

#include <filesystem>

#include "support/fs.hpp"
#include "support/paths.hpp"

namespace vessa::platform {

std::string FileUserDefaults::file_path() { return paths::config_home() + "/vessa/defaults.json"; }

json FileUserDefaults::load() {
  auto v = read_json_file(file_path());
  return (v && v->is_object()) ? *v : json::object();
}

void FileUserDefaults::store(const json& all) {
  auto path = file_path();
  fs::create_directories(std::filesystem::path(path).parent_path().string());
  fs::atomic_write(path, dump_pretty(all) + "\n");
}

std::optional<json> FileUserDefaults::get(const std::string& key) {
  std::scoped_lock lock(mutex_);
  auto all = load();
  auto it = all.find(key);
  if (it == all.end()) return std::nullopt;
  return *it;
}

void FileUserDefaults::set(const std::string& key, const json& value) {
  std::scoped_lock lock(mutex_);
  auto all = load();
  all[key] = value;
  store(all);
}

void FileUserDefaults::remove(const std::string& key) {
  std::scoped_lock lock(mutex_);
  auto all = load();
  if (all.erase(key) > 0) store(all);
}

}  // namespace vessa::platform
