// Queues: the main queue (GLib default main context), an elastic global pool, serial queues.
#include "support/dispatch.hpp"

#include <glib.h>

#include <condition_variable>
#include <exception>
#include <thread>

#include "support/log.hpp"

namespace vessa::dispatch {
namespace {

void run_guarded(const Task& task) {
  try {
    task();
  } catch (const std::exception& e) {
    vessa::log(std::string("uncaught exception in queued task: ") + e.what());
  } catch (...) {
    vessa::log("uncaught exception in queued task");
  }
}

// The main queue: one idle source drains everything queued so far, in order.
struct MainQueue {
  std::mutex mutex;
  std::deque<Task> tasks;
  bool scheduled = false;
};

MainQueue& main_queue() {
  static auto* q = new MainQueue();  // never destroyed: tasks may be posted during exit
  return *q;
}

gboolean drain_main(gpointer /*unused*/) noexcept {
  auto& q = main_queue();
  std::deque<Task> batch;
  {
    std::scoped_lock lock(q.mutex);
    batch.swap(q.tasks);
    q.scheduled = false;
  }
  for (auto& t : batch) run_guarded(t);
  return G_SOURCE_REMOVE;
}

gboolean run_delayed(gpointer data) noexcept {
  std::unique_ptr<Task> task(static_cast<Task*>(data));
  run_guarded(*task);
  return G_SOURCE_REMOVE;
}

class Pool {
 public:
  void post(Task task) {
    std::unique_lock lock(mutex_);
    tasks_.push_back(std::move(task));
    if (idle_ > 0) {
      cv_.notify_one();
      return;
    }
    ++threads_;
    lock.unlock();
    std::thread([this] { worker(); }).detach();
  }

 private:
  void worker() {
    std::unique_lock lock(mutex_);
    for (;;) {
      while (tasks_.empty()) {
        ++idle_;
        bool woke =
            cv_.wait_for(lock, std::chrono::seconds(30), [this] { return !tasks_.empty(); });
        --idle_;
        if (!woke) {
          --threads_;
          return;
        }
      }
      Task t = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      run_guarded(t);
      t = nullptr;
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Task> tasks_;
  int idle_ = 0;
  int threads_ = 0;
};

Pool& pool() {
  static auto* p = new Pool();  // never destroyed: detached workers outlive static destruction
  return *p;
}

}  // namespace

void main_async(Task task) {
  auto& q = main_queue();
  std::scoped_lock lock(q.mutex);
  q.tasks.push_back(std::move(task));
  if (!q.scheduled) {
    q.scheduled = true;
    g_idle_add_full(G_PRIORITY_DEFAULT, drain_main, nullptr, nullptr);
  }
}

void main_after(std::chrono::milliseconds delay, Task task) {
  auto* heap = new Task(std::move(task));
  g_timeout_add_full(G_PRIORITY_DEFAULT, static_cast<guint>(delay.count()), run_delayed, heap,
                     nullptr);
}

void global_async(Task task) { pool().post(std::move(task)); }

bool is_main_thread() { return g_main_context_is_owner(g_main_context_default()) != 0; }

bool run_main_until(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  GMainContext* ctx = g_main_context_default();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  // A wake-up source so a blocked iteration re-checks the deadline.
  guint tick = g_timeout_add(
      10, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    g_main_context_iteration(ctx, TRUE);
  }
  g_source_remove(tick);
  return done();
}

std::shared_ptr<SerialQueue> SerialQueue::create(std::string label) {
  return std::shared_ptr<SerialQueue>(new SerialQueue(std::move(label)));
}

void SerialQueue::async(Task task) {
  std::scoped_lock lock(mutex_);
  tasks_.push_back(std::move(task));
  if (running_) return;
  running_ = true;
  global_async([self = shared_from_this()] { self->drain(); });
}

void SerialQueue::drain() {
  for (;;) {
    Task t;
    {
      std::scoped_lock lock(mutex_);
      if (tasks_.empty()) {
        running_ = false;
        return;
      }
      t = std::move(tasks_.front());
      tasks_.pop_front();
    }
    run_guarded(t);
  }
}

}  // namespace vessa::dispatch
