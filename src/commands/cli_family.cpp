// Coding-CLI detection and login.
#include "commands/command_registry.hpp"

namespace vessa {

// Not built yet: declines every command, so the chain goes on.
bool CommandRegistry::handleCli(const std::string& /*cmd*/, const json& /*args*/,
                                const Completion& /*done*/) {
  return false;
}

}  // namespace vessa
