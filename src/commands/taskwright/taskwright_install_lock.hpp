// The process-wide flag that keeps runtime installs and resets apart.
#pragma once

namespace vessa::commands {

/// One flag for the whole process; every read and write of it is serialised, so at most one
/// install or reset holds it. Any thread.
class TaskwrightInstallLock {
 public:
  /// Takes the flag when it is free; false when someone holds it.
  static bool tryAcquire();
  /// Frees the flag. Only the holder calls this, exactly once.
  static void release();
};

}  // namespace vessa::commands
