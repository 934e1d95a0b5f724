// Coding-CLI detection and login.
#include "commands/background.hpp"
#include "commands/cli_detect.hpp"
#include "commands/cli_login.hpp"
#include "commands/command_registry.hpp"
#include "commands/families.hpp"
#include "platform/services.hpp"
#include "support/paths.hpp"

namespace vessa::commands {

bool handleCli(FamilyContext& /*ctx*/, const std::string& cmd, const json& args,
               const Completion& done) {
  if (cmd == "cli_detect") {
    background::run(cmd, done, [] {
      try {
        return CommandResult::success(cli::detect_all());
      } catch (...) {
        // Detection never fails: a lookup that could not run counts as not installed.
        json result = json::object();
        for (const char* name :
             {"claude", "codex", "opencode", "gemini", "grok", "kimi", "taskwright"}) {
          result[name] = json{{"installed", false}};
        }
        return CommandResult::success(result);
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
    background::run(cmd, done, [line = *line] {
      auto terminal = FamilyContext::services().terminal;
      std::optional<std::string> error =
          terminal ? terminal->run_line(line)
                   : std::optional<std::string>("No terminal emulator found");
      return error ? CommandResult::failure("cli_login failed: " + *error)
                   : CommandResult::success("opened terminal");
    });
    return true;
  }
  return false;
}

}  // namespace vessa::commands
