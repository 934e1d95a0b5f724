// The main queue, the pool, serial queues, the will-terminate hooks and signal connections.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "fixtures/helpers.hpp"
#include "support/dispatch.hpp"
#include "support/glib_ptr.hpp"
#include "support/lifecycle.hpp"

namespace vessa::dispatch {
namespace {

using std::chrono::milliseconds;

// Posted from the main thread or another one, tasks run later, in order, on the main thread;
// a throwing task is contained.
TEST(MainQueue, TasksRunLaterInOrderOnTheMainThreadAndAThrowingOneIsContained) {
  std::vector<int> order;
  bool inside_caller = true;
  auto post = [&](int i) {
    main_async([&, i] {
      EXPECT_FALSE(inside_caller);
      EXPECT_TRUE(is_main_thread());
      order.push_back(i);
    });
  };
  for (int i = 0; i < 50; ++i) post(i);
  std::thread poster([&] {
    for (int i = 50; i < 100; ++i) {
      post(i);
      if (i == 60) main_async([] { throw std::runtime_error("boom"); });
    }
  });
  poster.join();
  inside_caller = false;
  vessa::testing::LogCapture logs;
  ASSERT_TRUE(vessa::testing::run_until([&] { return order.size() == 100; }));
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[static_cast<size_t>(i)], i);
  EXPECT_TRUE(logs.contains("[VessaMac] uncaught exception in queued task: boom"));
}

TEST(MainQueue, DelayedTaskWaits) {
  auto start = std::chrono::steady_clock::now();
  std::atomic<bool> ran{false};
  main_after(milliseconds(200), [&] { ran = true; });
  ASSERT_TRUE(vessa::testing::run_until([&] { return ran.load(); }));
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(190));
}

TEST(Pool, GrowsWhenEveryThreadIsBlocked) {
  // Families block for minutes; a fixed-size pool would starve the next task.
  // Shared with the tasks, which may still run when the test returns.
  auto started = std::make_shared<std::atomic<int>>(0);
  auto release = std::make_shared<std::atomic<bool>>(false);
  for (int i = 0; i < 16; ++i) {
    global_async([started, release] {
      ++*started;
      while (!*release) std::this_thread::sleep_for(milliseconds(5));
    });
  }
  const bool all_started =
      vessa::testing::run_until([&] { return *started == 16; }, milliseconds(5000));
  *release = true;
  EXPECT_TRUE(all_started);
}

TEST(SerialQueue, RunsOneAtATimeInOrder) {
  auto q = SerialQueue::create("test.serial");
  std::mutex m;
  std::vector<int> order;
  std::atomic<int> running{0};
  std::atomic<int> max_running{0};
  std::atomic<int> done{0};
  for (int i = 0; i < 40; ++i) {
    q->async([&, i] {
      int now = ++running;
      max_running = std::max(max_running.load(), now);
      std::this_thread::sleep_for(milliseconds(1));
      {
        std::lock_guard lock(m);
        order.push_back(i);
      }
      --running;
      ++done;
    });
  }
  ASSERT_TRUE(vessa::testing::run_until([&] { return done == 40; }));
  EXPECT_EQ(max_running.load(), 1);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(order[static_cast<size_t>(i)], i);
}

TEST(Lifecycle, HooksRunOnceEvenWhenOneThrows) {
  int a = 0;
  int b = 0;
  lifecycle::on_will_terminate([&] { ++a; });
  lifecycle::on_will_terminate([] { throw std::runtime_error("hook"); });
  lifecycle::on_will_terminate([&] { ++b; });
  vessa::testing::LogCapture logs;
  lifecycle::run_will_terminate();
  lifecycle::run_will_terminate();
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 1);
  EXPECT_TRUE(logs.contains("[VessaMac] will-terminate hook failed: hook"));
}

void count_call(GCancellable* /*cancellable*/, int* calls) noexcept { ++*calls; }

TEST(SignalConnection, TheHandlerRunsOnlyWhileItsConnectionLives) {
  struct Case {
    const char* name;
    void (*between)(SignalConnection& connection, SignalConnection& other);
    int calls;
  };
  const Case cases[] = {
      {"kept", [](SignalConnection&, SignalConnection&) {}, 1},
      {"disconnected", [](SignalConnection& c, SignalConnection&) { c.disconnect(); }, 0},
      {"disconnected twice",
       [](SignalConnection& c, SignalConnection&) {
         c.disconnect();
         c.disconnect();
       },
       0},
      {"destroyed", [](SignalConnection& c, SignalConnection&) { SignalConnection(std::move(c)); },
       0},
      {"replaced", [](SignalConnection& c, SignalConnection&) { c = SignalConnection(); }, 0},
      {"moved, the old one disconnected",
       [](SignalConnection& c, SignalConnection& other) {
         other = std::move(c);
         c.disconnect();
       },
       1},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    int calls = 0;
    GObjectPtr<GCancellable> cancellable(g_cancellable_new());
    SignalConnection other;
    SignalConnection connection = connect(cancellable.get(), "cancelled", count_call, &calls);
    test.between(connection, other);
    g_cancellable_cancel(cancellable.get());
    EXPECT_EQ(calls, test.calls);
  }
}

TEST(SignalConnection, OutlivingItsInstanceTouchesNothing) {
  int warnings = 0;
  const guint handler = g_log_set_handler(
      "GLib-GObject", static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL),
      [](const gchar*, GLogLevelFlags, const gchar*, gpointer count) {
        ++*static_cast<int*>(count);
      },
      &warnings);
  int calls = 0;
  {
    GObjectPtr<GCancellable> cancellable(g_cancellable_new());
    SignalConnection connection = connect(cancellable.get(), "cancelled", count_call, &calls);
    cancellable.reset();  // finalized: its handlers went with it
    connection.disconnect();
  }
  g_log_remove_handler("GLib-GObject", handler);
  EXPECT_EQ(warnings, 0);
}

}  // namespace
}  // namespace vessa::dispatch
