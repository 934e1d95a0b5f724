// The real application under a desktop whose settings portal prefers dark: the window's theme,
// the page's prefers-color-scheme and its theme-changed events follow the portal and the page's
// own choice.
#include <gtest/gtest.h>

#include "app/app_process_support.hpp"
#include "fixtures/fake_portal.hpp"
#include "fixtures/helpers.hpp"
#include "fixtures/private_bus.hpp"

namespace vessa::testing {
namespace {

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
