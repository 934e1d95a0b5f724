// The one entry point for native commands: the family chain, the built-ins and the
// configuration file.
#include "commands/command_registry.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <filesystem>
#include <utility>

#include "commands/background.hpp"
#include "support/fs.hpp"
#include "support/lifecycle.hpp"
#include "support/log.hpp"
#include "support/paths.hpp"

namespace vessa::commands {
namespace {

struct FamilyEntry {
  const char* name;
  Family handler;
};

constexpr FamilyEntry kChain[] = {
    // The store's resource form, the core additions and the window family claim their
    // commands before the platform family's catch-all plug-in namespaces.
    {"handleStoreV2", &handleStoreV2},
    {"handleTauriCore", &handleTauriCore},
    {"handleWindow", &handleWindow},
    {"handleNative", &handleNative},
    {"handleDialog", &handleDialog},
    {"handlePath", &handlePath},
    {"handleOs", &handleOs},
    {"handleOpener", &handleOpener},
    {"handleClipboard", &handleClipboard},
    {"handleCli", &handleCli},
    {"handleGit", &handleGit},
    {"handleFs", &handleFs},
    {"handleAgent", &handleAgent},
    {"handleConvex", &handleConvex},
    {"handleDeviceCli", &handleDeviceCli},
    {"handleTaskwright", &handleTaskwright},
    {"handleTaskwrightBridge", &handleTaskwrightBridge},
    {"handleSkyvern", &handleSkyvern},
    {"handleDeepLink", &handleDeepLink},
};

// Guards the "exactly once" promise: later calls are dropped and logged.
Completion once(const std::string& cmd, Completion done) {
  auto called = std::make_shared<std::atomic<bool>>(false);
  return [called, cmd, done = std::move(done)](CommandResult r) {
    if (called->exchange(true)) {
      vessa::log("completion called twice for " + cmd);
      return;
    }
    done(std::move(r));
  };
}

}  // namespace

std::shared_ptr<AppContext> FamilyContext::app() const { return registry_.appDelegate(); }

CommandRegistry::CommandRegistry(std::weak_ptr<AppContext> app)
    : app_(std::move(app)), config_path_(paths::home_dir() + "/.vessa/config.json") {
  // Quitting closes what the page holds, so auto-saved stores write their last changes.
  lifecycle::on_will_terminate([weak = std::weak_ptr<ResourceTable>(resources_)] {
    if (auto table = weak.lock()) table->clear();
  });
}

void CommandRegistry::on_page_load() {
  resources_->clear();
  listeners_->clear();
}

std::optional<ChannelSender> CommandRegistry::channel_arg(const json& args,
                                                          std::string_view key) const {
  if (!args.is_object()) return std::nullopt;
  auto it = args.find(key);
  if (it == args.end()) return std::nullopt;
  auto id = channel_id(*it);
  if (!id) return std::nullopt;
  return ChannelSender(callback_sink_, request_ ? request_->page_load : 0, *id);
}

void CommandRegistry::set_family_override_for_testing(const std::string& family_name,
                                                      FamilyFn family) {
  if (family) {
    overrides_[family_name] = std::move(family);
  } else {
    overrides_.erase(family_name);
  }
}

void CommandRegistry::set_family_disabled_for_testing(const std::string& family_name,
                                                      bool disabled) {
  set_family_override_for_testing(
      family_name,
      disabled ? FamilyFn([](const std::string&, const json&, const Completion&) { return false; })
               : FamilyFn());
}

void CommandRegistry::dispatch(const std::string& cmd, const json& args, Completion done) {
  Completion guarded = once(cmd, std::move(done));
  const json& safe_args = args.is_object() ? args : json::object();
  try {
    for (const auto& family : kChain) {
      if (!overrides_.empty()) {
        auto it = overrides_.find(family.name);
        if (it != overrides_.end()) {
          if (it->second(cmd, safe_args, guarded)) return;
          continue;
        }
      }
      if (family.handler(context_, cmd, safe_args, guarded)) return;
    }
    if (builtin(cmd, safe_args, guarded)) return;
  } catch (const std::exception& e) {
    guarded(background::internal_error(cmd, e.what()));
    return;
  } catch (...) {
    guarded(background::internal_error(cmd));
    return;
  }
  vessa::log("command not implemented: " + cmd);
  guarded(CommandResult::failure("command not implemented in the Swift shell yet: " + cmd));
}

void CommandRegistry::dispatch_request(const std::string& cmd, const CommandRequest& request,
                                       Completion done) {
  const CommandRequest* outer = std::exchange(request_, &request);
  dispatch(cmd, request.args, std::move(done));
  request_ = outer;
}

bool CommandRegistry::builtin(const std::string& cmd, const json& args, const Completion& done) {
  if (cmd == "__ping") {
    done(CommandResult::success(json{{"ok", true}, {"shell", "swift"}}));
    return true;
  }
  if (cmd == "config_get") {
    std::string key = string_arg(args, "key").value_or("");
    json config = readConfig();
    auto it = config.find(key);
    done(CommandResult::success(it != config.end() ? *it : json(nullptr)));
    return true;
  }
  if (cmd == "config_set") {
    auto key = string_arg(args, "key");
    if (!key) {
      done(CommandResult::failure("config_set: missing key"));
      return true;
    }
    auto value_it = args.find("value");
    json value = value_it != args.end() ? *value_it : json(nullptr);
    done(set_config_key(*key, std::move(value)));
    return true;
  }
  return false;
}

json CommandRegistry::readConfig() const {
  auto parsed = load_json_file(config_path_);
  if (!parsed || !parsed->is_object()) return json::object();
  return *parsed;
}

// The file also holds what other parts of the shell stored (the executor's secret, the client
// id): one that exists but cannot be read is never replaced by an object holding one key.
CommandResult CommandRegistry::set_config_key(const std::string& key, json value) const {
  auto held = ConfigFileLock::acquire(config_path_);
  if (!held) return CommandResult::failure("config_set: " + held.error());
  auto loaded = load_json_file(config_path_);
  if (!loaded && loaded.error().unloadable) {
    return CommandResult::failure("config_set: " + config_path_ + " could not be loaded (" +
                                  loaded.error().reason + "); it was left unchanged");
  }
  json config = loaded && loaded->is_object() ? std::move(*loaded) : json::object();
  config[key] = std::move(value);
  if (auto written = writeConfig(config); !written) {
    return CommandResult::failure("config_set: could not write " + config_path_ + ": " +
                                  written.error());
  }
  return CommandResult::success();
}

tl::expected<void, std::string> CommandRegistry::writeConfig(const json& config) const {
  fs::create_directories(std::filesystem::path(config_path_).parent_path().string(), 0700);
  return fs::atomic_write(config_path_, dump_pretty(config));
}

}  // namespace vessa::commands
