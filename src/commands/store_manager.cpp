// Named JSON key-value stores for the page's store plug-in.
#include "commands/store_manager.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <climits>

#include "executor/launch_environment.hpp"
#include "support/fs.hpp"
#include "support/log.hpp"

namespace vessa {
namespace {

std::string store_name(const json& args) {
  if (auto path = string_arg(args, "path")) return *path;
  if (auto store = string_arg(args, "store")) return *store;
  return "store.json";
}

}  // namespace

StoreManager& StoreManager::shared() {
  // Never destroyed: store calls may still arrive from pool threads while the process exits.
  static auto* instance = new StoreManager(launch::appDataDir() / "stores");
  return *instance;
}

StoreManager::StoreManager(std::filesystem::path dir, std::uintmax_t max_file_bytes)
    : dir_(std::move(dir)), max_file_bytes_(max_file_bytes) {
  fs::create_directories(dir_.string());
}

std::optional<std::filesystem::path> StoreManager::fileFor(const std::string& name) const {
  std::string file = name;
  std::replace(file.begin(), file.end(), '/', '_');
  // With "/" gone the only names that leave the folder (or name it) are these; a NUL would
  // silently cut the name short, and an over-long name cannot be created anyway.
  if (file.empty() || file == "." || file == ".." || file.find('\0') != std::string::npos ||
      file.size() > NAME_MAX) {
    return std::nullopt;
  }
  return dir_ / file;
}

json& StoreManager::ensureLoaded(const std::string& name) {
  auto it = stores_.find(name);
  if (it != stores_.end()) return it->second;
  json store = json::object();
  if (auto file = fileFor(name)) {
    // Only a regular file of sane size is read: a FIFO would block the lock holder forever and
    // a giant file would exhaust memory.
    struct stat st {};
    if (::stat(file->c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<std::uintmax_t>(st.st_size) <= max_file_bytes_) {
      if (auto parsed = read_json_file(file->string()); parsed && parsed->is_object()) {
        store = std::move(*parsed);
      }
    }
  }
  return stores_.emplace(name, std::move(store)).first->second;
}

void StoreManager::persist(const std::string& name) {
  auto it = stores_.find(name);
  if (it == stores_.end()) return;
  auto file = fileFor(name);
  if (!file) {
    vessa::log("store kept in memory only (not a usable file name): " + name);
    return;
  }
  std::string text = dump_pretty(it->second);
  if (text.size() > max_file_bytes_) {
    vessa::log("store not written (larger than the store file limit): " + name);
    return;
  }
  fs::create_directories(dir_.string());
  fs::atomic_write(file->string(), text);
}

CommandResult StoreManager::handle(const std::string& op, const json& args) {
  std::lock_guard guard(lock_);
  const std::string name = store_name(args);
  json& store = ensureLoaded(name);
  const std::string key = string_arg(args, "key").value_or("");

  if (op == "load" || op == "get_store" || op == "reload") return CommandResult::success();
  if (op == "get") {
    auto it = store.find(key);
    return CommandResult::success(it != store.end() ? *it : json(nullptr));
  }
  if (op == "set") {
    auto k = string_arg(args, "key");
    if (!k) return CommandResult::failure("store set: missing key");
    auto v = args.find("value");
    store[*k] = v != args.end() ? *v : json(nullptr);
    return CommandResult::success();
  }
  if (op == "has") {
    auto it = store.find(key);
    return CommandResult::success(it != store.end() && !it->is_null());
  }
  if (op == "delete") return CommandResult::success(store.erase(key) > 0);
  if (op == "clear" || op == "reset") {
    store = json::object();
    persist(name);
    return CommandResult::success();
  }
  if (op == "save") {
    persist(name);
    return CommandResult::success();
  }
  if (op == "keys") {
    json keys = json::array();
    for (const auto& item : store.items()) keys.push_back(item.key());
    return CommandResult::success(std::move(keys));
  }
  if (op == "values") {
    json values = json::array();
    for (const auto& item : store.items()) values.push_back(item.value());
    return CommandResult::success(std::move(values));
  }
  if (op == "entries") {
    json entries = json::array();
    for (const auto& item : store.items())
      entries.push_back(json::array({item.key(), item.value()}));
    return CommandResult::success(std::move(entries));
  }
  if (op == "length") return CommandResult::success(store.size());
  return CommandResult::failure("store op not implemented: " + op);
}

}  // namespace vessa
