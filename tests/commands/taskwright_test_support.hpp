// Shared pieces of the Taskwright tests: a home with a recording application and registry, and
// a fake bundle holding a test installer.
#pragma once

#include <string>
#include <vector>

#include "commands/commands_test_support.hpp"
#include "commands/taskwright/taskwright_install_lock.hpp"
#include "fixtures/bundle.hpp"
#include "fixtures/recording_app.hpp"
#include "fixtures/scripts.hpp"

namespace vessa::testing {

/// A fresh home, a recording application and a registry owned the way the application owns it.
struct TaskwrightEnv : HomeAndApp<RecordingApp>, Commands {
  TaskwrightEnv() : Commands(app_) {}
  std::string tw_home() const { return home_.path() + "/.vessa-taskwright"; }
  std::string marker() const { return home_.path() + "/.vessa/taskwright-install-in-progress"; }
  std::vector<std::string> progress() const { return app_->lines("taskwright-install-progress"); }
  std::vector<std::string> statuses() const { return app_->statuses("taskwright-status"); }
};

/// True when nobody holds the install lock (taking and giving it back to find out).
inline bool install_lock_free() {
  if (!commands::TaskwrightInstallLock::tryAcquire()) return false;
  commands::TaskwrightInstallLock::release();
  return true;
}

/// Makes the executable appear to run from a bundle under `root` whose installer is `script`
/// (a bash script body); restores the real executable path when destroyed.
class FakeBundle {
 public:
  FakeBundle(const std::string& root, const std::string& script)
      : installer_(root + "/Fake.app/Resources/taskwright/install-taskwright.sh"),
        running_(write_bundle(root + "/Fake.app", {{"Resources/taskwright/install-taskwright.sh",
                                                    "#!/bin/bash\n" + script + "\n"}}) +
                 "/bin/vessa") {}
  const std::string& installer() const { return installer_; }

 private:
  std::string installer_;
  ScopedExecutable running_;
};

}  // namespace vessa::testing
