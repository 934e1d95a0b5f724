// The real application: one instance per user's data folders. A later launch with the same
// folders hands its links to the running instance and ends; other folders, a missing session
// bus, `--invoke` and a relaunch each still get a run of their own.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "app/app_process_support.hpp"

namespace vessa::testing {
namespace {

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

}  // namespace
}  // namespace vessa::testing
