// Taskwright runtime command execution and storage info.
#include "commands/command_registry.hpp"
#include "commands/taskwright/taskwright_exec.hpp"
#include "support/dispatch.hpp"

namespace vessa {
bool CommandRegistry::handleTaskwrightBridge(const std::string& cmd, const json& args,
                                             const Completion& done) {
  if (cmd == "taskwright_exec") {
    dispatch::global_async([cmd, args, done] {
      done(guarded_result(cmd, [&] { return taskwright::taskwrightExec(args); }));
    });
    return true;
  }
  if (cmd == "taskwright_storage_info") {
    dispatch::global_async([cmd, done] {
      done(guarded_result(
          cmd, [] { return CommandResult::success(taskwright::taskwrightStorageInfo()); }));
    });
    return true;
  }
  return false;
}

}  // namespace vessa
