// The launch's held-back steps run exactly once: a few frames after the first finished load, at
// the time limit when no load finishes or nothing is drawn, never after quitting began.
#include <gtest/gtest.h>

#include "app/deferred_launch.hpp"
#include "fixtures/helpers.hpp"

namespace vessa::app {
namespace {

using namespace std::chrono_literals;
using testing::run_until;

enum class Step { kRelease, kWaitPastLimit, kCancel, kDrop };

struct Case {
  const char* name;
  std::chrono::milliseconds limit;
  std::vector<Step> steps;
  int expected_runs;
};

TEST(DeferredLaunch, RunsExactlyOnceWhicheverComesFirst) {
  const Case cases[] = {
      {"released by the first load; later loads and the limit add nothing",
       50ms,
       {Step::kRelease, Step::kRelease, Step::kWaitPastLimit},
       1},
      {"the limit passes without a load", 50ms, {Step::kWaitPastLimit}, 1},
      {"a load after the limit adds nothing", 50ms, {Step::kWaitPastLimit, Step::kRelease}, 1},
      {"quitting before either", 50ms, {Step::kCancel, Step::kRelease, Step::kWaitPastLimit}, 0},
      {"quitting after it ran", 50ms, {Step::kRelease, Step::kCancel}, 1},
      {"a timer outliving its object", 20ms, {Step::kDrop}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int runs = 0;
    auto launch = DeferredLaunch::create([&runs] { ++runs; });
    launch->arm(c.limit);
    EXPECT_FALSE(launch->done());
    for (Step s : c.steps) {
      switch (s) {
        case Step::kRelease:
          launch->release();
          break;
        case Step::kCancel:
          launch->cancel();
          break;
        case Step::kWaitPastLimit:
          run_until([] { return false; }, c.limit + 200ms);
          break;
        case Step::kDrop:
          launch.reset();
          break;
      }
    }
    // Whatever timer is still pending fires into a done object.
    run_until([] { return false; }, c.limit + 100ms);
    EXPECT_EQ(runs, c.expected_runs);
    EXPECT_TRUE(!launch || launch->done());
  }
}

TEST(DeferredLaunch, NothingRunsBeforeTheLimitWithoutALoad) {
  int runs = 0;
  auto launch = DeferredLaunch::create([&runs] { ++runs; });
  launch->arm(5000ms);
  run_until([] { return false; }, 300ms);
  EXPECT_EQ(runs, 0);
  EXPECT_FALSE(launch->done());
}

TEST(DeferredLaunch, ReleasedByTheFramesOfAShownWindowOnly) {
  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "needs an X display (run under xvfb-run)";
  gtk_init();
  int shown_runs = 0;
  int hidden_runs = 0;
  auto shown = DeferredLaunch::create([&shown_runs] { ++shown_runs; });
  auto hidden = DeferredLaunch::create([&hidden_runs] { ++hidden_runs; });
  GtkWindow* window = GTK_WINDOW(gtk_window_new());
  GtkWindow* never_shown = GTK_WINDOW(gtk_window_new());
  gtk_window_present(window);
  shown->release_after_frames(GTK_WIDGET(window), 2);
  shown->release_after_frames(GTK_WIDGET(window), 2);  // a second load before the frames
  hidden->release_after_frames(GTK_WIDGET(never_shown), 2);
  EXPECT_TRUE(run_until([&] { return shown_runs > 0; }, 5000ms));
  run_until([] { return false; }, 300ms);
  EXPECT_EQ(shown_runs, 1);
  EXPECT_EQ(hidden_runs, 0);  // nothing drawn: left to the time limit
  EXPECT_FALSE(hidden->done());
  gtk_window_destroy(window);
  gtk_window_destroy(never_shown);
}

TEST(DeferredLaunch, StepsMayDropTheLastOwner) {
  int runs = 0;
  std::shared_ptr<DeferredLaunch>* holder = new std::shared_ptr<DeferredLaunch>();
  *holder = DeferredLaunch::create([holder, &runs] {
    ++runs;
    delete holder;  // the only owner goes while its steps run
  });
  std::weak_ptr<DeferredLaunch> weak = *holder;
  (*holder)->arm(20ms);
  EXPECT_TRUE(run_until([&] { return runs == 1; }, 2000ms));
  EXPECT_TRUE(weak.expired());
  run_until([] { return false; }, 100ms);
  EXPECT_EQ(runs, 1);
}

}  // namespace
}  // namespace vessa::app
