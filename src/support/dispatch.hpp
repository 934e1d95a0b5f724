// Queues: the main queue (GLib default main context), an elastic global pool, serial queues.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace vessa::dispatch {

using Task = std::function<void()>;

/// Schedules `task` on the main thread (the GLib default main context) after the caller returns.
/// Tasks run in the order they were scheduled. Any thread. A task that throws is logged.
void main_async(Task task);

/// Schedules `task` on the main thread after `delay`. Any thread.
void main_after(std::chrono::milliseconds delay, Task task);

/// Runs `task` on a pool thread. The pool grows when every thread is busy (families block for
/// minutes on child processes) and idle threads retire. Any thread.
void global_async(Task task);

/// True on the thread that currently owns the GLib default main context.
bool is_main_thread();

/// Iterates the default main context until `done()` is true or `timeout` passes; returns done().
/// For the headless runner, the self-test and tests.
bool run_main_until(const std::function<bool()>& done, std::chrono::milliseconds timeout);

/// Runs tasks one at a time, in order, on pool threads.
class SerialQueue : public std::enable_shared_from_this<SerialQueue> {
 public:
  static std::shared_ptr<SerialQueue> create(std::string label);
  /// Appends `task`; it runs after every task appended before it has finished. Any thread.
  void async(Task task);
  const std::string& label() const { return label_; }

 private:
  explicit SerialQueue(std::string label) : label_(std::move(label)) {}
  void drain();

  std::string label_;
  std::mutex mutex_;
  std::deque<Task> tasks_;
  bool running_ = false;
};

}  // namespace vessa::dispatch
