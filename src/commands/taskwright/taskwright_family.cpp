// Taskwright runtime install, uninstall, reset and status.
#include "commands/command_registry.hpp"

namespace vessa {

// Not built yet: declines every command, so the chain goes on.
bool CommandRegistry::handleTaskwright(const std::string& /*cmd*/, const json& /*args*/,
                                       const Completion& /*done*/) {
  return false;
}

}  // namespace vessa
