// Counts the installer's output streams that have not reached end of file.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vessa::commands {

/// One per installer run, starting at two streams. Any thread.
class TaskwrightEOFLatch {
 public:
  /// One stream reached end of file: one fewer remaining (never below zero); wakes all waiters.
  void stream_ended();
  /// Waits until no stream remains or `deadline` passes; true when none remains.
  bool wait_until(std::chrono::steady_clock::time_point deadline);
  int remaining();

 private:
  std::condition_variable cond_;
  std::mutex mutex_;
  int remaining_ = 2;
};

}  // namespace vessa::commands
