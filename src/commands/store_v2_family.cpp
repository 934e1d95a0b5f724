// The store plug-in's resource form: `load` gives the page a resource id, and every later call
// names the store by that id. Each store is its own file (relative paths live under the page's
// appDataDir()), read and written through a StoreManager of its own; changes are announced as
// "store://change" and saved after a quiet spell when the store auto-saves.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string_view>

#include "commands/app_dirs.hpp"
#include "commands/command_registry.hpp"
#include "commands/families.hpp"
#include "commands/resource_table.hpp"
#include "commands/store_manager.hpp"
#include "support/dispatch.hpp"
#include "support/log.hpp"

namespace vessa::commands {
namespace {

namespace stdfs = std::filesystem;

constexpr std::string_view kStorePrefix = "plugin:store|";
constexpr int64_t kDefaultAutoSaveMs = 100;
// Longer than anyone waits for a save; keeps the timer arithmetic far from overflow.
constexpr int64_t kMaxAutoSaveMs = 24LL * 3600 * 1000;

// Where a store path lives: relative paths under appDataDir(), absolute ones as given.
std::optional<stdfs::path> store_file(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return std::nullopt;
  stdfs::path p(path);
  if (p.is_relative()) p = app_dirs::app_data_dir() / p;
  p = p.lexically_normal();
  const std::string name = p.filename().string();
  if (name.empty() || name == "." || name == "..") return std::nullopt;
  // Two spellings of one file (a symlinked folder, say) must name one store.
  std::error_code ec;
  stdfs::path canonical = stdfs::weakly_canonical(p, ec);
  return ec ? p : canonical;
}

class StoreResource : public PageResource, public std::enable_shared_from_this<StoreResource> {
 public:
  StoreResource(stdfs::path file, json defaults, std::optional<int64_t> auto_save_ms,
                std::weak_ptr<AppContext> app)
      : file_(std::move(file)),
        defaults_(std::move(defaults)),
        auto_save_ms_(auto_save_ms),
        app_(std::move(app)) {}

  const stdfs::path& file() const { return file_; }
  void set_rid(int64_t rid) { rid_ = rid; }

  /// Fills the store from its file. `use_defaults`: keys the file lacks take their defaults;
  /// `override_defaults`: a file that exists is taken alone; `create_new`: the file is ignored.
  void load(bool use_defaults, bool override_defaults, bool create_new) {
    manager_ = std::make_unique<StoreManager>(file_.parent_path());
    json on_disk = keys();
    if (create_new) {
      for (const auto& key : on_disk) op("delete", {{"key", key}});
      on_disk = json::array();
    }
    std::error_code ec;
    if (!use_defaults || (override_defaults && stdfs::exists(file_, ec))) return;
    for (const auto& [key, value] : defaults_.items()) {
      // nlohmann's json is no std::ranges range.
      // NOLINTNEXTLINE(modernize-use-ranges)
      if (std::find(on_disk.begin(), on_disk.end(), key) == on_disk.end()) {
        op("set", {{"key", key}, {"value", value}});
      }
    }
  }

  CommandResult handle(const std::string& name, const json& args) {
    const std::string key = string_arg(args, "key").value_or("");
    if (name == "get") {
      json value = op("get", {{"key", key}}).value();
      return CommandResult::success(json::array({value, !value.is_null() || has(key)}));
    }
    if (name == "has") return CommandResult::success(has(key));
    if (name == "set") {
      auto value_it = args.find("value");
      json value = value_it != args.end() ? *value_it : json(nullptr);
      CommandResult r =
          op("set", {{"key", args.contains("key") ? args["key"] : json()}, {"value", value}});
      if (r.ok()) changed(key, value, true);
      return r;
    }
    if (name == "delete") {
      CommandResult r = op("delete", {{"key", key}});
      if (r.value() == true) changed(key, nullptr, false);
      return r;
    }
    if (name == "clear") {
      for (const auto& k : keys()) {
        op("delete", {{"key", k}});
        changed(k.get<std::string>(), nullptr, false);
      }
      return CommandResult::success();
    }
    if (name == "reset") {
      for (const auto& k : keys()) {
        if (!defaults_.contains(k.get<std::string>())) {
          op("delete", {{"key", k}});
          changed(k.get<std::string>(), nullptr, false);
        }
      }
      for (const auto& [k, value] : defaults_.items()) {
        op("set", {{"key", k}, {"value", value}});
        changed(k, value, true);
      }
      return CommandResult::success();
    }
    if (name == "reload") {
      load(!bool_arg(args, "ignoreDefaults").value_or(false), false, false);
      return CommandResult::success();
    }
    if (name == "save") return save();
    if (name == "keys" || name == "values" || name == "entries" || name == "length")
      return op(name);
    return CommandResult::failure("store op not implemented: " + name);
  }

  void close() override {
    // An auto-saved store never loses a change that was still waiting for its timer.
    if (dirty_) save();
  }

 private:
  CommandResult op(const std::string& name, json args = json::object()) {
    args["path"] = file_.filename().string();
    return manager_->handle(name, args);
  }

  json keys() { return op("keys").value(); }

  bool has(const std::string& key) {
    json all = keys();
    return std::find(all.begin(), all.end(), key) != all.end();  // NOLINT(modernize-use-ranges)
  }

  CommandResult save() {
    ++generation_;
    dirty_ = false;
    CommandResult r = op("save");
    if (!r.ok()) vessa::log("store " + file_.string() + " not saved: " + r.error());
    return r;
  }

  void changed(const std::string& key, const json& value, bool exists) {
    if (auto app = app_.lock()) {
      app->emit("store://change", json{{"path", file_.string()},
                                       {"resourceId", rid_},
                                       {"key", key},
                                       {"value", value},
                                       {"exists", exists}});
    }
    if (!auto_save_ms_) return;
    const std::chrono::milliseconds wait(*auto_save_ms_);
    // Debounced: each change restarts the wait, and only the last timer saves.
    dirty_ = true;
    const uint64_t generation = ++generation_;
    std::weak_ptr<StoreResource> weak = weak_from_this();
    dispatch::main_after(wait, [weak, generation] {
      auto self = weak.lock();
      if (self && self->dirty_ && self->generation_ == generation) self->save();
    });
  }

  stdfs::path file_;
  json defaults_;
  std::optional<int64_t> auto_save_ms_;
  std::weak_ptr<AppContext> app_;
  std::unique_ptr<StoreManager> manager_;
  int64_t rid_ = 0;
  bool dirty_ = false;
  uint64_t generation_ = 0;
};

// autoSave: absent or true is the default delay, false turns it off, a number is the delay.
std::optional<int64_t> auto_save_option(const json& options) {
  auto it = options.find("autoSave");
  if (it == options.end() || it->is_null()) return kDefaultAutoSaveMs;
  if (it->is_boolean()) return it->get<bool>() ? std::optional(kDefaultAutoSaveMs) : std::nullopt;
  if (it->is_number()) {
    double ms = it->get<double>();
    if (!(ms >= 0)) return 0;
    return static_cast<int64_t>(std::min<double>(ms, kMaxAutoSaveMs));
  }
  return kDefaultAutoSaveMs;
}

std::optional<std::pair<int64_t, std::shared_ptr<StoreResource>>> open_store(
    ResourceTable& table, const stdfs::path& file) {
  auto found = table.find([&](const PageResource& r) {
    const auto* store = dynamic_cast<const StoreResource*>(&r);
    return store && store->file() == file;
  });
  if (!found) return std::nullopt;
  return std::make_pair(found->first, std::static_pointer_cast<StoreResource>(found->second));
}

CommandResult load_store(ResourceTable& table, const std::weak_ptr<AppContext>& app,
                         const json& args) {
  const std::string path = string_arg(args, "path").value_or("");
  auto file = store_file(path);
  if (!file) return CommandResult::failure("store load: not a usable store path: " + path);
  json options =
      args.contains("options") && args["options"].is_object() ? args["options"] : json::object();
  for (const char* fn : {"serializeFnName", "deserializeFnName"}) {
    if (auto name = string_arg(options, fn)) {
      return CommandResult::failure(std::string("store load: no such ") + fn + ": " + *name);
    }
  }
  const bool create_new = bool_arg(options, "createNew").value_or(false);
  if (auto existing = open_store(table, *file)) {
    if (!create_new) return CommandResult::success(existing->first);
    table.close(existing->first);
  }
  json defaults = options.contains("defaults") && options["defaults"].is_object()
                      ? options["defaults"]
                      : json::object();
  auto store =
      std::make_shared<StoreResource>(*file, std::move(defaults), auto_save_option(options), app);
  store->load(true, bool_arg(options, "overrideDefaults").value_or(false), create_new);
  const int64_t rid = table.add(store);
  store->set_rid(rid);
  return CommandResult::success(rid);
}

}  // namespace

bool handleStoreV2(FamilyContext& ctx, const std::string& cmd, const json& args,
                   const Completion& done) {
  if (!cmd.starts_with(kStorePrefix)) return false;
  const std::string op = cmd.substr(kStorePrefix.size());
  if (op == "load" && string_arg(args, "path")) {
    done(load_store(ctx.registry().resources(), ctx.app(), args));
    return true;
  }
  auto rid = rid_arg(args);
  if (op == "get_store" && !rid) {
    // A store this page loaded answers with its id; any other path keeps the path form.
    auto file = store_file(string_arg(args, "path").value_or(""));
    auto existing = file ? open_store(ctx.registry().resources(), *file) : std::nullopt;
    if (!existing) return false;
    done(CommandResult::success(existing->first));
    return true;
  }
  if (!rid) return false;  // the path form
  auto store = ctx.registry().resources().get_as<StoreResource>(*rid);
  if (!store) {
    done(CommandResult::failure("store " + op + ": resource id " + std::to_string(*rid) +
                                " is not an open store"));
    return true;
  }
  done(store->handle(op, args));
  return true;
}

}  // namespace vessa::commands
