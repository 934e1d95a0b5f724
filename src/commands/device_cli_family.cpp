// Coding-CLI installation and device identity commands.
#include "commands/cli_install.hpp"
#include "commands/command_registry.hpp"
#include "commands/device_identity.hpp"
#include "support/dispatch.hpp"

namespace vessa {

bool CommandRegistry::handleDeviceCli(const std::string& cmd, const json& args,
                                      const Completion& done) {
  if (cmd == "get_device_identity") {
    dispatch::global_async(
        [done, path = configPath()] { done(CommandResult::success(deviceIdentity(path))); });
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
    dispatch::global_async([done, tool = *tool, script = *script] {
      try {
        done(cli::runInstaller(tool, script));
      } catch (const std::exception& e) {
        done(CommandResult::failure(std::string("Failed to run installer: ") + e.what()));
      }
    });
    return true;
  }
  return false;
}

}  // namespace vessa
