// Convex backend port status.
#include "commands/background.hpp"
#include "commands/command_registry.hpp"
#include "commands/families.hpp"
#include "executor/convex_status.hpp"

namespace vessa::commands {

bool handleConvex(FamilyContext& /*ctx*/, const std::string& cmd, const json& /*args*/,
                  const Completion& done) {
  if (cmd == "convex_status") {
    background::run(cmd, done, [] {
      bool in_use = executor::convex::convexPortInUse(executor::convex::kConvexPort,
                                                      executor::convex::kProbeTimeoutMs);
      return CommandResult::success(in_use ? "running" : "stopped");
    });
    return true;
  }
  if (cmd == "stop_convex") {
    done(CommandResult::failure("No convex process is managed by this app"));
    return true;
  }
  return false;
}

}  // namespace vessa::commands
