// Named JSON key-value stores for the page's store plug-in.
#include "commands/store_manager.hpp"

#include <algorithm>
#include <climits>

#include "executor/sidecar_location.hpp"
#include "support/fs.hpp"
#include "support/log.hpp"

namespace vessa::commands {
namespace {

std::string store_name(const json& args) {
  if (auto path = string_arg(args, "path")) return *path;
  if (auto store = string_arg(args, "store")) return *store;
  return "store.json";
}

}  // namespace

StoreManager& StoreManager::shared() {
  // Never destroyed: store calls may still arrive from pool threads while the process exits.
  static auto* instance = new StoreManager(executor::appDataDir() / "stores");
  return *instance;
}

StoreManager::StoreManager(std::filesystem::path dir, std::uintmax_t max_file_bytes)
    : dir_(std::move(dir)), max_file_bytes_(max_file_bytes) {
  fs::create_directories(dir_.string(), 0700);
}

std::optional<std::filesystem::path> StoreManager::file_for(const std::string& name) const {
  std::string file = name;
  std::ranges::replace(file, '/', '_');
  // With "/" gone the only names that leave the folder (or name it) are these; a NUL would
  // silently cut the name short, and an over-long name cannot be created anyway.
  if (file.empty() || file == "." || file == ".." || file.find('\0') != std::string::npos ||
      file.size() > NAME_MAX) {
    return std::nullopt;
  }
  return dir_ / file;
}

StoreManager::Store& StoreManager::ensureLoaded(const std::string& name) {
  auto it = stores_.find(name);
  if (it != stores_.end()) return it->second;
  Store store;
  if (auto file = file_for(name)) {
    // The reader takes regular files of sane size only: a FIFO would block the lock holder
    // forever and a giant file would exhaust memory.
    auto loaded = load_json_file(file->string(), max_file_bytes_);
    if (loaded && loaded->is_object()) {
      store.data = std::move(*loaded);
    } else if (!loaded && loaded.error().unloadable) {
      vessa::log("store file " + file->string() + " could not be loaded (" + loaded.error().reason +
                 "); reading it as empty, never overwriting it");
    }
  }
  return stores_.emplace(name, std::move(store)).first->second;
}

// Two processes may each save their own keys to one store file. A save therefore re-reads the
// file under a lock shared by every process and applies only the keys this process set or
// deleted since its last write; keys written by others meanwhile are kept (and become visible
// here). "clear" and "reset" mean the whole store, so they write an empty object. A file that
// exists but cannot be loaded (unreadable, too large, too deep, not a regular file) is never
// overwritten: its content is unknown, so the write fails instead.
tl::expected<void, std::string> StoreManager::persist(const std::string& op,
                                                      const std::string& name, bool clear) {
  Store& store = stores_.at(name);
  const std::string prefix = "store " + op + ": ";
  auto file = file_for(name);
  if (!file) return tl::unexpected(prefix + "\"" + name + "\" cannot name a store file");
  const std::string path = file->string();
  fs::create_directories(dir_.string(), 0700);
  auto held = fs::FileLock::acquire(path);
  if (!held) return tl::unexpected(prefix + held.error());

  json merged = json::object();
  auto current = load_json_file(path, max_file_bytes_);
  if (!current && current.error().unloadable) {
    return tl::unexpected(prefix + path + " could not be loaded (" + current.error().reason +
                          "); it was left unchanged");
  }
  if (!clear) {
    if (current && current->is_object()) merged = std::move(*current);
    for (const auto& key : store.changed) {
      auto it = store.data.find(key);
      if (it != store.data.end()) {
        merged[key] = *it;
      } else {
        merged.erase(key);
      }
    }
  }
  std::string text = dump_pretty(merged);
  if (text.size() > max_file_bytes_) {
    return tl::unexpected(prefix + path + " would be larger than " +
                          std::to_string(max_file_bytes_) + " bytes; it was left unchanged");
  }
  if (auto written = fs::atomic_write(path, text); !written) {
    return tl::unexpected(prefix + "could not write " + path + ": " + written.error());
  }
  store.data = std::move(merged);
  store.changed.clear();
  return {};
}

CommandResult StoreManager::handle(const std::string& op, const json& args) {
  std::scoped_lock guard(lock_);
  const std::string name = store_name(args);
  Store& loaded = ensureLoaded(name);
  json& store = loaded.data;
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
    loaded.changed.insert(*k);
    return CommandResult::success();
  }
  if (op == "has") {
    auto it = store.find(key);
    return CommandResult::success(it != store.end() && !it->is_null());
  }
  if (op == "delete") {
    loaded.changed.insert(key);
    return CommandResult::success(store.erase(key) > 0);
  }
  if (op == "clear" || op == "reset" || op == "save") {
    auto written = persist(op, name, op != "save");
    return written ? CommandResult::success() : CommandResult::failure(written.error());
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

}  // namespace vessa::commands
