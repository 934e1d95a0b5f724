// Taskwright runtime install, uninstall, reset and status.
#include <memory>

#include "commands/background.hpp"
#include "commands/command_registry.hpp"
#include "commands/families.hpp"
#include "commands/taskwright/taskwright_install.hpp"
#include "commands/taskwright/taskwright_install_lock.hpp"

namespace vessa::commands {
namespace {

// The install lock is held until the command answers, whoever gives the answer.
Completion releasing_lock(const Completion& done) {
  return [done](CommandResult r) {
    TaskwrightInstallLock::release();
    done(std::move(r));
  };
}

}  // namespace

bool handleTaskwright(FamilyContext& ctx, const std::string& cmd, const json& /*args*/,
                      const Completion& done) {
  if (cmd == "taskwright_status") {
    background::run(cmd, done,
                    [] { return CommandResult::success(taskwright::taskwright_status()); });
    return true;
  }
  if (cmd == "taskwright_uninstall") {
    background::run(cmd, done, [weak = ctx.registry().weak_from_this()] {
      return taskwright::run_taskwright_uninstall(weak);
    });
    return true;
  }
  if (cmd == "taskwright_install") {
    if (!TaskwrightInstallLock::tryAcquire()) {
      done(CommandResult::failure(
          "An install is already in progress. Wait for it to finish or restart the app."));
      return true;
    }
    background::run_answering(
        cmd, releasing_lock(done),
        [weak = ctx.registry().weak_from_this()](const Completion& finish) {
          if (weak.expired()) {
            finish(CommandResult::failure("Taskwright install aborted: app shutting down."));
            return;
          }
          taskwright::runTaskwrightInstall(weak, finish);
        });
    return true;
  }
  if (cmd == "taskwright_reset") {
    if (!TaskwrightInstallLock::tryAcquire()) {
      done(CommandResult::failure(
          "An install is in progress \u2014 reset blocked until it finishes."));
      return true;
    }
    background::run(cmd, releasing_lock(done), [weak = ctx.registry().weak_from_this()] {
      return taskwright::run_taskwright_reset(weak);
    });
    return true;
  }
  return false;
}

}  // namespace vessa::commands
