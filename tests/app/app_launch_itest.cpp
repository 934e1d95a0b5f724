// The launch's held-back steps run exactly once: a few frames after the first finished load, at
// the time limit when no load finishes or nothing is drawn, never after quitting began. In the
// real application the executor start and update check among them happen exactly once each; the
// in-page self-test that may follow the load starts only for VESSA_SELFTEST=1, and its
// "SELFTEST: " line reports every family reached. One instance runs per user's data folders: a
// later launch with the same folders hands its links to the running instance and ends; other
// folders, a missing session bus, `--invoke` and a relaunch each still get a run of their own.
// Under a desktop whose settings portal prefers dark, the window's theme, the page's
// prefers-color-scheme and its theme-changed events follow the portal and the page's own choice.
#include <gtest/gtest.h>

#include <optional>

#include "app/app_process_support.hpp"
#include "app/deferred_launch.hpp"
#include "fixtures/fake_portal.hpp"
#include "fixtures/helpers.hpp"
#include "fixtures/private_bus.hpp"
#include "support/json.hpp"

namespace vessa::testing {
namespace {

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

TEST(AppLaunch, ExecutorStartAndUpdateCheckHappenOnceEachAndNoUnaskedSelfTest) {
  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "needs an X display (run under xvfb-run)";
  AppProcess app("<div id=root></div>", {}, {{"VESSA_SELFTEST", "true"}}, {},
                 /*with_executor=*/true);
  ASSERT_TRUE(app.started());
  auto executor_lines = [&] {
    return app.count("spawned executor pid") +
           app.count("executor healthy on :3212 \u2014 adopting");
  };
  auto update_lines = [&] {
    return app.count("update check failed: ") + app.count("up to date (");
  };
  wait_until(
      [&] {
        return !app.running() ||
               (executor_lines() > 0 && update_lines() > 0 && app.count("page-loaded probe: ") > 0);
      },
      60s);
  // Later ensures (after the load, on activation) find the sidecar healthy and start nothing.
  // The wait is also well past the self-test's delay after the load.
  std::this_thread::sleep_for(6s);
  ASSERT_EQ(app.count("page-loaded probe: "), 1u) << app.log();
  EXPECT_EQ(executor_lines(), 1u) << app.log();
  EXPECT_EQ(update_lines(), 1u) << app.log();
  EXPECT_EQ(app.count("SELFTEST"), 0u) << "any value but 1 runs no self-test\n" << app.log();
}

// The rest of the first log line holding `marker`, once it appears.
std::optional<std::string> wait_for_line(AppProcess& app, const std::string& marker,
                                         std::chrono::seconds limit) {
  wait_until([&] { return app.log().find(marker) != std::string::npos || !app.running(); }, limit);
  const std::string log = app.log();
  const auto at = log.find(marker);
  if (at == std::string::npos) return std::nullopt;
  return log.substr(at + marker.size(), log.find('\n', at) - at - marker.size());
}

TEST(InPageSelfTest, ReportsEveryFamilyReached) {
  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "needs an X display (run under xvfb-run)";
  AppProcess app("", {}, {{"VESSA_SELFTEST", "1"}});
  ASSERT_TRUE(app.started());
  auto text = wait_for_line(app, "[VessaMac] SELFTEST: ", 120s);
  ASSERT_TRUE(text.has_value()) << app.log();
  auto report = parse_json(*text);
  ASSERT_TRUE(report && report->is_object()) << *text;

  EXPECT_EQ((*report)["ping"], json({{"ok", true}, {"shell", "swift"}}));
  EXPECT_EQ((*report)["storeGet"], "v42");
  EXPECT_TRUE((*report)["notifPerm"].is_boolean()) << (*report)["notifPerm"];
  EXPECT_FALSE((*report)["cli"].is_null());

  struct Member {
    const char* name;
    const char* cmd;
    bool resolves;
  };
  const Member members[] = {
      {"git", "git_detect_tools", true},           {"fs", "read_obsidian_vault", false},
      {"agent", "list_running_agents", true},      {"convex", "convex_status", true},
      {"device", "get_device_identity", true},     {"taskwright", "taskwright_status", true},
      {"radaro", "taskwright_storage_info", true}, {"skyvern", "skyvern_status", true},
  };
  for (const auto& m : members) {
    const json& probe = (*report)[m.name];
    ASSERT_TRUE(probe.is_object()) << m.name << ": " << *text;
    EXPECT_EQ(probe["cmd"], m.cmd);
    EXPECT_EQ(probe["ok"], m.resolves) << m.name << ": " << probe.dump();
    if (!m.resolves) {
      // An ordinary error from the family, not the dispatcher's "not implemented".
      EXPECT_EQ(probe["error"], "Not a folder: /nonexistent-selftest") << probe.dump();
    } else {
      EXPECT_TRUE(probe.contains("value")) << probe.dump();
    }
  }
  EXPECT_EQ(app.log().find("not implemented"), std::string::npos) << app.log();
  auto stored = read_json_file(app.home() + "/.local/share/vessa.app/stores/selftest.json");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ((*stored)["k"], "v42");
}

const std::string kLink = "app.vessa.desktop://open/task?id=7&q=a%20b";

// Listens as @tauri-apps/plugin-deep-link's onOpenUrl does, and reports the launch's links.
constexpr const char* kLinkPage = R"(<script>
const core = window.__TAURI_INTERNALS__;
core.invoke("plugin:event|listen", {event: "deep-link://new-url", target: {kind: "Any"},
  handler: core.transformCallback((e) => report("new-url:" + JSON.stringify(e.payload)))});
invoke("plugin:deep-link|get_current").then((v) => report("current:" + JSON.stringify(v)));
</script>)";

bool have_display_and_bus() {
  return std::getenv("DISPLAY") && std::getenv("DBUS_SESSION_BUS_ADDRESS");
}

// Processes running `exe` (the app itself, not its web processes).
size_t instances_of(const std::string& exe) {
  size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::error_code ec;
    auto target = std::filesystem::read_symlink(entry.path() / "exe", ec);
    n += !ec && target == exe;
  }
  return n;
}

proc::Output run_to_end(const std::vector<std::string>& argv) {
  proc::Options o;
  o.argv = argv;
  o.env = proc::current_environment();  // the newest AppProcess's folders
  proc::RunOptions limit;
  limit.timeout = 60s;
  auto r = proc::run(o, limit);
  return r ? *r : proc::Output{};
}

TEST(SingleInstance, ASecondLaunchHandsItsLinksOverAndEnds) {
  if (!have_display_and_bus()) GTEST_SKIP() << "needs X and a session bus (scripts/run-tests)";
  AppProcess first(kLinkPage);
  ASSERT_TRUE(first.started());
  ASSERT_TRUE(first.wait_report("current:null")) << first.log();

  const auto began = std::chrono::steady_clock::now();
  auto second = run_to_end({first.exe(), kLink, "file:///etc/passwd", "vessa://localhost/x.html"});
  EXPECT_TRUE(second.status.success()) << second.err;
  EXPECT_LT(std::chrono::steady_clock::now() - began, 10s) << "the second launch lingered";
  // Only our scheme's link arrives; the other arguments are refused in the running instance.
  EXPECT_TRUE(first.wait_report("new-url:[\"" + kLink + "\"]", 30s)) << first.log();
  EXPECT_EQ(first.count("deep link refused"), 2u) << first.log();
  EXPECT_EQ(first.count("new-url:"), 1u);
  EXPECT_EQ(instances_of(first.exe()), 1u);
  EXPECT_TRUE(first.running());

  // The one-shot command runner never joins the instance.
  auto ping = run_to_end({first.exe(), "--invoke", "__ping"});
  EXPECT_TRUE(ping.status.success()) << ping.err;
  EXPECT_NE(ping.out.find("\"shell\":\"swift\""), std::string::npos) << ping.out;

  // Other folders, and no session bus at all: runs of their own, started with the link, which
  // reaches their pages once they have loaded.
  AppProcess other_home(kLinkPage, {kLink});
  // GTK 4.8 names its accessibility objects after the application's bus path, which a run
  // without a session bus lacks (a CRITICAL once the display announces an accessibility bus).
  // Without a bus WebKit's sandbox falls back to writing /.flatpak-info, which, for a root test
  // run, makes GTK think every later app is sandboxed: the sandbox stays off for this run.
  AppProcess no_bus(kLinkPage, {kLink},
                    {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"},
                     {"GTK_A11Y", "none"},
                     {"WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS", "1"}});
  for (AppProcess* app : {&other_home, &no_bus}) {
    ASSERT_TRUE(app->started());
    EXPECT_TRUE(app->wait_report("current:[\"" + kLink + "\"]")) << app->log();
    EXPECT_TRUE(app->wait_report("new-url:[\"" + kLink + "\"]")) << app->log();
    EXPECT_TRUE(app->running());
  }
  EXPECT_EQ(first.count("new-url:"), 1u);
}

// A relaunch starts the new instance while the old one still holds the bus name: without
// waiting for it, the new one handed itself to the old one and no instance was left.
TEST(SingleInstance, RelaunchLeavesANewInstanceRunning) {
  if (!have_display_and_bus()) GTEST_SKIP() << "needs X and a session bus (scripts/run-tests)";
  AppProcess app(R"(<script>
invoke("config_get", {key: "relaunched"}).then((done) => {
  if (done) return report("relaunched");
  invoke("config_set", {key: "relaunched", value: true})
    .then(() => invoke("plugin:process|restart"));
});
</script>)");
  ASSERT_TRUE(app.started());
  auto status = app.wait_for(60s);
  ASSERT_TRUE(status.has_value()) << app.log();
  EXPECT_TRUE(status->success());
  EXPECT_TRUE(wait_until([&] { return app.count("page:relaunched\n") > 0; }, 90s)) << app.log();
  EXPECT_EQ(instances_of(app.exe()), 1u);
}

// Reports the theme, each event, and the colour scheme the page's CSS sees whenever it changes;
// chooses light, then follows the desktop again.
constexpr const char* kThemePage = R"HTML(<script>
const dark = matchMedia("(prefers-color-scheme: dark)");
const media = () => report("media " + (dark.matches ? "dark" : "light"));
dark.addEventListener("change", media);
(async () => {
  await window.__TAURI_INTERNALS__.event.listen("tauri://theme-changed",
                                                (e) => report("event " + e.payload));
  report("theme " + await invoke("plugin:window|theme", { label: "main" }));
  media();
  await invoke("plugin:app|set_app_theme", { theme: "light" });
  report("chosen " + await invoke("plugin:window|theme", { label: "main" }));
  await invoke("plugin:window|set_theme", { label: "main", value: null });
  report("following " + await invoke("plugin:window|theme", { label: "main" }));
})();
</script>)HTML";

TEST(AppTheme, FollowsThePortalUnlessThePageChooses) {
  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "needs an X display (run under xvfb-run)";
  PrivateBus bus;
  ASSERT_TRUE(bus.ready());
  FakePortal portal(bus.address(), 1);
  ASSERT_TRUE(portal.owns_name());
  ScopedEnv session("DBUS_SESSION_BUS_ADDRESS", bus.address());
  AppProcess app(kThemePage);
  ASSERT_TRUE(app.started());
  // The portal answers from this thread's main loop: every wait runs it.
  auto reports = [&](const std::string& what, size_t n = 1) {
    return run_until([&] { return app.count("page:" + what + "\n") >= n || !app.running(); },
                     90s) &&
           app.count("page:" + what + "\n") == n;
  };
  // The CSS reports come whenever WebKit applies a change: the latest one counts.
  auto media_shows = [&](const std::string& scheme) {
    const std::string want = "page:media " + scheme + "\n";
    return run_until([&] {
      const std::string log = app.log();
      auto at = log.rfind("page:media ");
      return at != std::string::npos && log.compare(at, want.size(), want) == 0;
    });
  };
  ASSERT_TRUE(reports("theme dark")) << app.log();
  EXPECT_TRUE(reports("chosen light")) << app.log();
  EXPECT_TRUE(reports("following dark")) << app.log();
  EXPECT_TRUE(media_shows("dark")) << app.log();
  EXPECT_EQ(app.count("page:event light\n"), 1u) << app.log();
  EXPECT_EQ(app.count("page:event dark\n"), 1u) << app.log();

  portal.set(2);
  EXPECT_TRUE(reports("event light", 2)) << app.log();
  EXPECT_TRUE(media_shows("light")) << app.log();
  // The same value again is no change; the next flip is one event.
  portal.set(2);
  portal.set(1);
  EXPECT_TRUE(reports("event dark", 2)) << app.log();
  EXPECT_TRUE(media_shows("dark")) << app.log();
  EXPECT_EQ(app.count("page:event light\n"), 2u) << app.log();
}

}  // namespace
}  // namespace vessa::testing
