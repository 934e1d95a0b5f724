// The real application: every way of quitting runs the will-terminate work once, ends the
// process with status 0 (or the one the page asked for) and leaves nothing running, also while
// a panel the page opened is up; the window's size and zoom come back at the next launch.
#include <gtest/gtest.h>

#include <ostream>

#include "app/web_host_support.hpp"
#include "support/json.hpp"
// After the GTK headers: it ends with Xlib's macros.
#include "app/app_process_support.hpp"

namespace vessa::testing {
namespace {

// The page starts an agent running `script`, which leaves a grandchild, and says so once both
// run. It exits through the process plug-in once the configuration holds an exit code.
std::string agent_page(const std::string& script) {
  return R"(<textarea id="t"></textarea><script>
document.getElementById("t").focus();
invoke("start_agent", {agentId: "sleeper", scriptPath: ")" +
         script + R"("})
  .then(() => report("agent started"), (e) => report("agent failed " + e));
let exiting = false;
setInterval(() => invoke("config_get", {key: "exitCode"}).then((code) => {
  if (code === null || exiting) return;
  exiting = true;
  invoke("plugin:process|exit", {code});
}), 100);
</script>)";
}

struct QuitPath {
  const char* name;
  // Asks the running app to quit; false when the request could not even be made.
  bool (*quit)(AppProcess& app, XSession& x);
  int status = 0;
};

template <int kSignal>
bool send_signal(AppProcess& app, XSession&) {
  return ::kill(app.pid(), kSignal) == 0;
}

const QuitPath kQuitPaths[] = {
    {"WindowClose",
     [](AppProcess& app, XSession& x) { return x.close_window(x.main_window(app.pid())); }},
    {"CtrlQ",
     [](AppProcess& app, XSession& x) { return x.press_ctrl(x.main_window(app.pid()), "q"); }},
    {"QuitAction",
     [](AppProcess& app, XSession&) { return activate_app_action(app.pid(), "quit"); }},
    {"SIGTERM", send_signal<SIGTERM>},
    {"SIGINT", send_signal<SIGINT>},
    {"SIGHUP", send_signal<SIGHUP>},
    {"SIGQUIT", send_signal<SIGQUIT>},
    {"PageExit",
     [](AppProcess& app, XSession&) {
       const std::string config = app.home() + "/.vessa/config.json";
       json values = read_json_file(config).value_or(json::object());
       values["exitCode"] = 3;
       write_file(config, values.dump());
       return true;
     },
     3},
};

// Names the row in test listings (and so in ctest's names) instead of its bytes.
void PrintTo(const QuitPath& path, std::ostream* os) { *os << path.name; }

class AppQuit : public ::testing::TestWithParam<QuitPath> {};

// Once a quit freed the window before the quit path used it (a CRITICAL, fatal here), and
// SIGHUP/SIGQUIT ended the process without the quit path, leaving the agents running.
TEST_P(AppQuit, RunsTheQuitWorkOnceAndLeavesNothingRunning) {
  Xlib xlib;
  if (!xlib.load()) GTEST_SKIP() << "needs an X display (run under xvfb-run) with XTest";
  const ScratchDir dir("vessa-agent-");
  AppProcess app(agent_page(write_file(dir / "sleeper.sh", "echo $$ > " + dir / "agent.pid" +
                                                               "\nsleep 300 &\necho $! > " +
                                                               dir / "child.pid" + "\nwait\n")));
  ASSERT_TRUE(app.started());
  ASSERT_TRUE(app.wait_report("agent started")) << app.log();
  ASSERT_TRUE(wait_until([&] { return pid_in(dir / "child.pid") > 0; }));
  const std::set<pid_t> helpers = descendants_of(app.pid());
  const pid_t agent = pid_in(dir / "agent.pid");
  const pid_t grandchild = pid_in(dir / "child.pid");

  XSession x(xlib);
  ASSERT_TRUE(wait_until([&] { return x.main_window(app.pid()) != 0; }));
  ASSERT_TRUE(GetParam().quit(app, x)) << "could not ask the app to quit";
  auto status = app.wait_for(5s);
  ASSERT_TRUE(status) << "still running 5 s after the quit request\n" << app.log();
  EXPECT_EQ(status->describe(), "Some(" + std::to_string(GetParam().status) + ")") << app.log();
  EXPECT_EQ(app.count("application will terminate"), 1u) << app.log();
  EXPECT_EQ(app.count("CRITICAL"), 0u) << app.log();
  EXPECT_TRUE(process_gone(agent, 5s)) << "agent left running";
  EXPECT_TRUE(process_gone(grandchild, 5s)) << "agent's child left running";
  for (pid_t helper : helpers) EXPECT_TRUE(process_gone(helper, 20s)) << "helper " << helper;
}

INSTANTIATE_TEST_SUITE_P(EveryPath, AppQuit, ::testing::ValuesIn(kQuitPaths),
                         [](const auto& row) { return std::string(row.param.name); });

struct OpenPanel {
  const char* name;
  const char* page;  // opens the panel once loaded
};

const OpenPanel kOpenPanels[] = {
    {"FileChooser", R"(<script>invoke("plugin:dialog|open", {multiple: true});</script>)"},
    // Confirm, prompt and alert share one message panel.
    {"Confirm", R"(<script>setTimeout(() => confirm("Sure?"), 0);</script>)"},
};

void PrintTo(const OpenPanel& panel, std::ostream* os) { *os << panel.name; }

class AppQuitWithPanel : public ::testing::TestWithParam<OpenPanel> {};

// A file chooser's nested main loop once kept SIGTERM from ending the app.
TEST_P(AppQuitWithPanel, SigtermEndsTheAppWithinTwoSeconds) {
  Xlib xlib;
  if (!xlib.load()) GTEST_SKIP() << "needs an X display (run under xvfb-run) with XTest";
  AppProcess app(GetParam().page);
  ASSERT_TRUE(app.started());
  XSession x(xlib);
  ASSERT_TRUE(
      wait_until([&] { return x.windows_of(app.pid()).size() >= 2 || !app.running(); }, 90s))
      << "the panel never showed\n"
      << app.log();
  ASSERT_TRUE(app.running()) << app.log();
  ::kill(app.pid(), SIGTERM);
  auto status = app.wait_for(2s);
  ASSERT_TRUE(status) << "still running 2 s after SIGTERM\n" << app.log();
  EXPECT_TRUE(status->success()) << status->describe() << "\n" << app.log();
  EXPECT_EQ(app.count("application will terminate"), 1u) << app.log();
}

INSTANTIATE_TEST_SUITE_P(EveryPanel, AppQuitWithPanel, ::testing::ValuesIn(kOpenPanels),
                         [](const auto& row) { return std::string(row.param.name); });

// Where the application keeps its window state: its config folder (HOME points at the test's).
std::string window_state_file() {
  return std::string(std::getenv("XDG_CONFIG_HOME")) + "/app.vessa.desktop/.window-state.json";
}

// The page sizes and zooms the window; closing the window saves both, and the next launch
// opens that way.
TEST(AppQuitWindowState, SizeAndZoomSurviveARestart) {
  Xlib xlib;
  if (!xlib.load()) GTEST_SKIP() << "needs an X display (run under xvfb-run) with XTest";
  WindowManager wm;  // zooms the window
  ASSERT_EQ(wm.error(), "");
  std::string saved;
  {
    AppProcess app(R"(<script>(async () => {
      await invoke("plugin:window|set_size", {value: {Physical: {width: 1000, height: 700}}});
      await invoke("plugin:window|maximize");
      report("zoomed " + await invoke("plugin:window|is_maximized"));
    })();</script>)");
    ASSERT_TRUE(app.started());
    ASSERT_TRUE(app.wait_report("zoomed true")) << app.log();
    XSession x(xlib);
    ASSERT_TRUE(wait_until([&] { return x.close_window(x.main_window(app.pid())); }, 10s));
    auto status = app.wait_for(10s);
    ASSERT_TRUE(status) << app.log();
    EXPECT_TRUE(status->success()) << status->describe() << "\n" << app.log();
    saved = read_file(window_state_file());
  }
  auto state = json::parse(saved, nullptr, false);
  ASSERT_TRUE(state.is_object()) << saved;
  EXPECT_EQ(state["main"]["maximized"], true) << saved;
  // The unmaximized size with the header bar and frame, not the maximized one (1600 x 1000).
  const int width = state["main"].value("width", 0);
  const int height = state["main"].value("height", 0);
  EXPECT_TRUE(width >= 1000 && width < 1100 && height > 700 && height < 800) << saved;

  AppProcess again(
      R"(<script>(async () => {
      const zoomed = await invoke("plugin:window|is_maximized");
      await invoke("plugin:window|unmaximize");
      let size = null;
      for (let i = 0; i < 100 && !(size && size.width === 1000); i++) {
        await new Promise((r) => setTimeout(r, 50));
        size = await invoke("plugin:window|inner_size");
      }
      report("reopened " + JSON.stringify([zoomed, size]));
    })();</script>)",
      {}, {}, [&] { write_file(window_state_file(), saved); });
  ASSERT_TRUE(again.started());
  EXPECT_TRUE(again.wait_report(R"(reopened [true,{"height":700,"width":1000}])")) << again.log();
}

}  // namespace
}  // namespace vessa::testing
