// The launch's held-back steps run exactly once: a few frames after the first finished load, at
// the time limit when no load finishes or nothing is drawn, never after quitting began.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "app/deferred_launch.hpp"
#include "fixtures/helpers.hpp"

namespace vessa::testing {
namespace {

using namespace std::chrono_literals;
using app::DeferredLaunch;

// One thing that happens to a launch whose time limit is `limit`.
using Step = void (*)(std::shared_ptr<DeferredLaunch>& launch, std::chrono::milliseconds limit);
const Step kRelease = [](auto& launch, auto) { launch->release(); };
const Step kCancel = [](auto& launch, auto) { launch->cancel(); };
const Step kWaitPastLimit = [](auto&, auto limit) {
  run_until([] { return false; }, limit + 200ms);
};
const Step kDrop = [](auto& launch, auto) { launch.reset(); };

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
       {kRelease, kRelease, kWaitPastLimit},
       1},
      {"the limit passes without a load", 50ms, {kWaitPastLimit}, 1},
      {"a load after the limit adds nothing", 50ms, {kWaitPastLimit, kRelease}, 1},
      {"quitting before either", 50ms, {kCancel, kRelease, kWaitPastLimit}, 0},
      {"quitting after it ran", 50ms, {kRelease, kCancel}, 1},
      {"a timer outliving its object", 20ms, {kDrop}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int runs = 0;
    auto launch = DeferredLaunch::create([&runs] { ++runs; });
    launch->arm(c.limit);
    EXPECT_FALSE(launch->done());
    for (Step step : c.steps) step(launch, c.limit);
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
}  // namespace vessa::testing
