// The process-wide flag that keeps runtime installs and resets apart.
#include "commands/taskwright/taskwright_install_lock.hpp"

#include <mutex>

namespace vessa::commands {
namespace {

// A mutex stands for the serial queue the flag is read and written on synchronously.
std::mutex& flag_mutex() {
  static std::mutex m;
  return m;
}
bool held = false;

}  // namespace

bool TaskwrightInstallLock::tryAcquire() {
  std::scoped_lock lock(flag_mutex());
  if (held) return false;
  held = true;
  return true;
}

void TaskwrightInstallLock::release() {
  std::scoped_lock lock(flag_mutex());
  held = false;
}

}  // namespace vessa::commands
