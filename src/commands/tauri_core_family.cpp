// Core additions of the Tauri 2 page interface: closing resources, the application identifier,
// exiting with a status, and the page's log lines.
#include <string_view>

#include "commands/app_dirs.hpp"
#include "commands/command_registry.hpp"
#include "support/dispatch.hpp"
#include "support/lifecycle.hpp"
#include "support/log.hpp"

namespace vessa {
namespace {

// The log module's levels, 1 (trace) to 5 (error).
std::string_view level_name(const json& args) {
  static constexpr std::string_view kNames[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR"};
  auto level = number_arg(args, "level");
  if (!level || *level < 1 || *level > 5) return "INFO";
  return kNames[static_cast<int>(*level) - 1];
}

}  // namespace

bool CommandRegistry::handleTauriCore(const std::string& cmd, const json& args,
                                      const Completion& done) {
  if (cmd == "plugin:resources|close") {
    auto rid = rid_arg(args);
    if (!rid) {
      done(CommandResult::failure("resources close: missing rid"));
    } else if (!resources_->close(*rid)) {
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
    auto app = appDelegate();
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

}  // namespace vessa
