// Taskwright runtime install, uninstall, reset and status.
#include <exception>
#include <functional>
#include <memory>

#include "commands/command_registry.hpp"
#include "commands/taskwright/taskwright_install.hpp"
#include "commands/taskwright/taskwright_install_lock.hpp"
#include "support/dispatch.hpp"
#include "support/log.hpp"

namespace vessa {
namespace {

// Runs lock-holding work so that a throw still frees the lock and completes the command once.
void run_locked(const std::string& cmd, const Completion& done,
                const std::function<void(const Completion&)>& work) {
  auto finished = std::make_shared<bool>(false);
  Completion finish = [finished, done](CommandResult r) {
    *finished = true;
    done(std::move(r));
  };
  try {
    work(finish);
  } catch (const std::exception& e) {
    vessa::log(cmd + " threw: " + e.what());
    if (!*finished) {
      TaskwrightInstallLock::release();
      done(CommandResult::failure(cmd + ": internal error: " + e.what()));
    }
  }
}

}  // namespace

bool CommandRegistry::handleTaskwright(const std::string& cmd, const json& /*args*/,
                                       const Completion& done) {
  if (cmd == "taskwright_status") {
    dispatch::global_async([cmd, done] {
      done(guarded_result(cmd,
                          [] { return CommandResult::success(taskwright::taskwrightStatus()); }));
    });
    return true;
  }
  if (cmd == "taskwright_uninstall") {
    dispatch::global_async([weak = weak_from_this(), cmd, done] {
      done(guarded_result(cmd, [&weak] { return taskwright::runTaskwrightUninstall(weak); }));
    });
    return true;
  }
  if (cmd == "taskwright_install") {
    if (!TaskwrightInstallLock::tryAcquire()) {
      done(CommandResult::failure(
          "An install is already in progress. Wait for it to finish or restart the app."));
      return true;
    }
    dispatch::global_async([weak = weak_from_this(), done, cmd] {
      if (weak.expired()) {
        TaskwrightInstallLock::release();
        done(CommandResult::failure("Taskwright install aborted: app shutting down."));
        return;
      }
      run_locked(cmd, done, [&weak](const Completion& finish) {
        taskwright::runTaskwrightInstall(weak, finish);
      });
    });
    return true;
  }
  if (cmd == "taskwright_reset") {
    if (!TaskwrightInstallLock::tryAcquire()) {
      done(CommandResult::failure(
          "An install is in progress \u2014 reset blocked until it finishes."));
      return true;
    }
    dispatch::global_async([weak = weak_from_this(), done, cmd] {
      run_locked(cmd, done, [&weak](const Completion& finish) {
        finish(taskwright::runTaskwrightReset(weak));
      });
    });
    return true;
  }
  return false;
}

}  // namespace vessa
