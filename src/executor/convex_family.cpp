// Convex backend port status.
#include "commands/command_registry.hpp"
#include "executor/convex_status.hpp"
#include "support/dispatch.hpp"

namespace vessa {

bool CommandRegistry::handleConvex(const std::string& cmd, const json& /*args*/,
                                   const Completion& done) {
  if (cmd == "convex_status") {
    dispatch::global_async([done] {
      bool in_use = convex::convexPortInUse(convex::kConvexPort, convex::kProbeTimeoutMs);
      done(CommandResult::success(in_use ? "running" : "stopped"));
    });
    return true;
  }
  if (cmd == "stop_convex") {
    done(CommandResult::failure("No convex process is managed by this app"));
    return true;
  }
  return false;
}

}  // namespace vessa
