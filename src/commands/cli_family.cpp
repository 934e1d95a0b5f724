// Coding-CLI detection and login.
#include "commands/cli_detect.hpp"
#include "commands/cli_login.hpp"
#include "commands/command_registry.hpp"
#include "platform/services.hpp"
#include "support/dispatch.hpp"
#include "support/paths.hpp"

namespace vessa {

bool CommandRegistry::handleCli(const std::string& cmd, const json& args, const Completion& done) {
  if (cmd == "cli_detect") {
    dispatch::global_async([done] {
      try {
        done(CommandResult::success(cli::detectAll()));
      } catch (...) {
        // Detection never fails: a lookup that could not run counts as not installed.
        json result = json::object();
        for (const char* name :
             {"claude", "codex", "opencode", "gemini", "grok", "kimi", "taskwright"}) {
          result[name] = json{{"installed", false}};
        }
        done(CommandResult::success(result));
      }
    });
    return true;
  }
  if (cmd == "cli_login") {
    const std::string command = string_arg(args, "command").value_or("");
    auto line = cli::login_shell_line(command, string_arg(args, "accountDir"), paths::home_dir());
    if (!line) {
      done(CommandResult::failure(line.error()));
      return true;
    }
    dispatch::global_async([done, line = *line] {
      auto terminal = platform::services().terminal;
      std::optional<std::string> error =
          terminal ? terminal->run_line(line)
                   : std::optional<std::string>("No terminal emulator found");
      if (error) {
        done(CommandResult::failure("cli_login failed: " + *error));
      } else {
        done(CommandResult::success("opened terminal"));
      }
    });
    return true;
  }
  return false;
}

}  // namespace vessa
