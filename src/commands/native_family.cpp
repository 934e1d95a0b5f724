// Platform plug-in commands: store, notifications, app, window, dialogs, shell, process, updater.
#include "commands/command_registry.hpp"

namespace vessa {

// Not built yet: declines every command, so the chain goes on.
bool CommandRegistry::handleNative(const std::string& /*cmd*/, const json& /*args*/,
                                   const Completion& /*done*/) {
  return false;
}

}  // namespace vessa
