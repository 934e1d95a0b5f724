// Coding-CLI installation and device identity commands.
#include "commands/background.hpp"
#include "commands/cli_install.hpp"
#include "commands/command_registry.hpp"
#include "commands/device_identity.hpp"
#include "commands/families.hpp"

namespace vessa::commands {

bool handleDeviceCli(FamilyContext& ctx, const std::string& cmd, const json& args,
                     const Completion& done) {
  if (cmd == "get_device_identity") {
    background::run(cmd, done, [path = ctx.registry().config_path()] {
      return CommandResult::success(deviceIdentity(path));
    });
    return true;
  }
  if (cmd == "cli_install") {
    auto tool = string_arg(args, "tool");
    if (!tool) {
      done(CommandResult::failure("cli_install: missing tool"));
      return true;
    }
    auto script = cli::install_script(*tool);
    if (!script) {
      done(CommandResult::failure("Unknown tool: " + *tool));
      return true;
    }
    background::run(cmd, done,
                    [tool = *tool, script = *script] { return cli::runInstaller(tool, script); });
    return true;
  }
  return false;
}

}  // namespace vessa::commands
