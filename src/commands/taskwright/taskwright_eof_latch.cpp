// Counts the installer's output streams that have not reached end of file.
#include "commands/taskwright/taskwright_eof_latch.hpp"

namespace vessa::commands {

void TaskwrightEOFLatch::stream_ended() {
  {
    std::scoped_lock lock(mutex_);
    if (remaining_ >= 1) --remaining_;
  }
  cond_.notify_all();
}

bool TaskwrightEOFLatch::wait_until(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  return cond_.wait_until(lock, deadline, [this] { return remaining_ < 1; });
}

int TaskwrightEOFLatch::remaining() {
  std::scoped_lock lock(mutex_);
  return remaining_;
}

}  // namespace vessa::commands
