// Core additions of the Tauri 2 page interface: closing resources, the application identifier,
// exiting with a status, the page's log lines and plug-in event listeners.
#include <optional>
#include <string_view>
#include <utility>

#include "commands/app_dirs.hpp"
#include "commands/command_registry.hpp"
#include "commands/families.hpp"
#include "support/dispatch.hpp"
#include "support/lifecycle.hpp"
#include "support/log.hpp"

namespace vessa::commands {
namespace {

// The log module's levels, 1 (trace) to 5 (error).
std::string_view level_name(const json& args) {
  static constexpr std::string_view kNames[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR"};
  auto level = number_arg(args, "level");
  if (!level || *level < 1 || *level > 5) return "INFO";
  return kNames[static_cast<int>(*level) - 1];
}

// The largest integer a page number holds exactly (2^53 - 1).
constexpr double kMaxSafeInteger = 9007199254740991.0;

// The plug-in listener commands of the core package's addPluginListener, for the plug-ins
// whose events the shell produces: (plug-in, "register_listener" or "remove_listener").
std::optional<std::pair<std::string, std::string>> listener_command(const std::string& cmd) {
  static constexpr std::pair<std::string_view, std::string_view> kPlugins[] = {
      {"notification", "plugin:notification|"}};
  for (auto [plugin, prefix] : kPlugins) {
    if (!cmd.starts_with(prefix)) continue;
    std::string_view op = std::string_view(cmd).substr(prefix.size());
    // The package retries in camel case when the first form fails.
    if (op == "register_listener" || op == "registerListener") {
      return std::pair{std::string(plugin), std::string("register_listener")};
    }
    if (op == "remove_listener" || op == "removeListener") {
      return std::pair{std::string(plugin), std::string("remove_listener")};
    }
  }
  return std::nullopt;
}

}  // namespace

bool handleTauriCore(FamilyContext& ctx, const std::string& cmd, const json& args,
                     const Completion& done) {
  if (cmd == "plugin:resources|close") {
    auto rid = rid_arg(args);
    if (!rid) {
      done(CommandResult::failure("resources close: missing rid"));
    } else if (!ctx.registry().resources().close(*rid)) {
      done(CommandResult::failure("resource id " + std::to_string(*rid) + " is invalid"));
    } else {
      done(CommandResult::success());
    }
    return true;
  }
  if (cmd == "plugin:app|identifier") {
    done(CommandResult::success(app_dirs::identifier()));
    return true;
  }
  if (cmd == "plugin:process|exit" || cmd == "plugin:app|exit") {
    auto app = ctx.app();
    if (!app) {
      done(CommandResult::failure("exit: no application to end"));
      return true;
    }
    auto code = number_arg(args, "code").value_or(0);
    done(CommandResult::success());
    // After the answer has left: the quit path runs the will-terminate work, then the process
    // ends with the page's status.
    lifecycle::request_exit_status(static_cast<int>(code));
    dispatch::main_async([weak = std::weak_ptr<AppContext>(app)] {
      if (auto a = weak.lock()) a->quit();
    });
    return true;
  }
  if (auto listener = listener_command(cmd)) {
    // As everywhere in the plug-in's namespace, arguments that do not fit answer null and do
    // nothing.
    const auto& [plugin, op] = *listener;
    auto event = string_arg(args, "event");
    if (event && op == "register_listener") {
      if (auto channel = ctx.registry().channel_arg(args, "handler")) {
        ctx.registry().plugin_listeners()->add(plugin, *event, std::move(*channel));
      }
    } else if (event) {
      auto id = number_arg(args, "channelId");
      if (id && *id >= 0 && *id <= kMaxSafeInteger) {
        ctx.registry().plugin_listeners()->remove(plugin, *event, static_cast<int64_t>(*id));
      }
    }
    done(CommandResult::success());
    return true;
  }
  if (cmd == "plugin:log|log") {
    std::string line = "[webview][" + std::string(level_name(args)) + "] " +
                       string_arg(args, "message").value_or("");
    if (auto location = string_arg(args, "location")) line += " (" + *location + ")";
    vessa::log(line);
    done(CommandResult::success());
    return true;
  }
  return false;
}

}  // namespace vessa::commands
