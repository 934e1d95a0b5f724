// The real application: keys typed into the page reach its keydown before any application
// shortcut, and the application's own shortcuts act only on keys the page left alone.
#include <gtest/gtest.h>

#include "app/app_process_support.hpp"
#include "app/web_host_support.hpp"

namespace vessa::testing {
namespace {

// Reports every Ctrl key the textarea sees and every change of the location hash; keeps
// Ctrl+Q for itself.
constexpr const char* kKeysPage = R"(<textarea id="t">some text</textarea><script>
const t = document.getElementById("t");
t.addEventListener("keydown", (e) => {
  if (!e.ctrlKey || e.key === "Control") return;
  report("key " + e.key.toLowerCase());
  if (e.key.toLowerCase() === "q") e.preventDefault();
});
window.addEventListener("hashchange", () => report("hash " + location.hash));
window.addEventListener("load", () => { t.focus(); report("ready"); });
</script>)";

TEST(KeysPageFirst, PageSeesKeysFirstAndAppShortcutsTakeOnlyTheRest) {
  Xlib xlib;
  if (!xlib.load()) GTEST_SKIP() << "needs an X display (run under xvfb-run) with XTest";
  WindowManager wm;
  ASSERT_TRUE(wm.error().empty()) << wm.error();
  AppProcess app(kKeysPage);
  ASSERT_TRUE(app.started());
  ASSERT_TRUE(app.wait_report("ready")) << app.log();
  XSession x(xlib);
  Window w = 0;
  ASSERT_TRUE(wait_until([&] { return (w = x.main_window(app.pid())) != 0; }));

  // Ctrl+Z/A/C/X/V/H were once taken by application accelerators before the page saw them, and
  // Ctrl+H minimised the window while the user typed. The page leaves Ctrl+, (the device view
  // opens) and keeps Ctrl+Q (the app does not quit).
  for (const std::string key : {"z", "a", "c", "x", "v", "h", "comma", "q"}) {
    x.press_ctrl(w, key.c_str());
    const std::string seen = "key " + (key == "comma" ? "," : key);
    EXPECT_TRUE(app.wait_report(seen, 10s)) << "Ctrl+" << key << "\n" << app.log();
    if (key == "comma") {
      EXPECT_TRUE(app.wait_report("hash #devices", 10s)) << app.log();
    }
  }
  std::this_thread::sleep_for(1s);  // time for a wrong quit or minimise to show
  EXPECT_TRUE(app.running()) << "Ctrl+Q quit although the page kept it\n" << app.log();
  constexpr long kNormalState = 1;  // WM_STATE as the window manager sets it
  EXPECT_EQ(x.property(w, "WM_STATE"), kNormalState) << "the window was minimised";
}

}  // namespace
}  // namespace vessa::testing
