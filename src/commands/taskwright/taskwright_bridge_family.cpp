// Taskwright runtime command execution and storage info.
#include "commands/background.hpp"
#include "commands/command_registry.hpp"
#include "commands/families.hpp"
#include "commands/taskwright/taskwright_exec.hpp"

namespace vessa::commands {
bool handleTaskwrightBridge(FamilyContext& /*ctx*/, const std::string& cmd, const json& args,
                            const Completion& done) {
  if (cmd == "taskwright_exec") {
    background::run(cmd, done, [args] { return taskwright::taskwrightExec(args); });
    return true;
  }
  if (cmd == "taskwright_storage_info") {
    background::run(cmd, done,
                    [] { return CommandResult::success(taskwright::taskwright_storage_info()); });
    return true;
  }
  return false;
}

}  // namespace vessa::commands
