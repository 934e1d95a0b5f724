// Taskwright runtime command execution and storage info.
#include <exception>
#include <functional>

#include "commands/command_registry.hpp"
#include "commands/taskwright/taskwright_exec.hpp"
#include "support/dispatch.hpp"
#include "support/log.hpp"

namespace vessa {
namespace {

// Background work completes its command even when it throws.
CommandResult guarded(const std::string& cmd, const std::function<CommandResult()>& work) {
  try {
    return work();
  } catch (const std::exception& e) {
    vessa::log(cmd + " threw: " + e.what());
    return CommandResult::failure(cmd + ": internal error: " + e.what());
  }
}

}  // namespace

bool CommandRegistry::handleTaskwrightBridge(const std::string& cmd, const json& args,
                                             const Completion& done) {
  if (cmd == "taskwright_exec") {
    dispatch::global_async([cmd, args, done] {
      done(guarded(cmd, [&] { return taskwright::taskwrightExec(args); }));
    });
    return true;
  }
  if (cmd == "taskwright_storage_info") {
    dispatch::global_async([cmd, done] {
      done(
          guarded(cmd, [] { return CommandResult::success(taskwright::taskwrightStorageInfo()); }));
    });
    return true;
  }
  return false;
}

}  // namespace vessa
