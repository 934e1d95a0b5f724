// The platform plug-in family against fake desktop services: rule order, every answer and
// message, and what reaches the window, panels, notifications, opener and previews.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "commands/command_registry.hpp"
#include "commands/relaunch.hpp"
#include "fixtures/bundle.hpp"
#include "fixtures/fake_platform.hpp"
#include "fixtures/helpers.hpp"
#include "fixtures/temp_home.hpp"
#include "support/lifecycle.hpp"
#include "support/paths.hpp"

namespace vessa {
namespace {

using testing::dispatch_and_wait;
using testing::FakePlatform;

class RecordingApp : public AppContext {
 public:
  void emit(const std::string& /*event*/, const json& /*payload*/) override {}
  void quit() override { ++quits; }
  void check_for_updates() override { ++update_checks; }
  std::atomic<int> quits{0};
  std::atomic<int> update_checks{0};
};

class NativeFamily : public ::testing::Test {
 protected:
  CommandResult run(const std::string& cmd, const json& args = json::object()) {
    return dispatch_and_wait(*registry_, cmd, args);
  }
  json ok(const std::string& cmd, const json& args = json::object()) {
    CommandResult r = run(cmd, args);
    EXPECT_TRUE(r.ok()) << cmd << ": " << r.error();
    return r.value();
  }
  std::string fails(const std::string& cmd, const json& args = json::object()) {
    CommandResult r = run(cmd, args);
    EXPECT_FALSE(r.ok()) << cmd;
    return r.error();
  }
  // Lets queued main-queue work run.
  void drain() {
    testing::run_until([] { return false; }, std::chrono::milliseconds(50));
  }

  FakePlatform fake_;
  std::shared_ptr<RecordingApp> app_ = std::make_shared<RecordingApp>();
  std::shared_ptr<CommandRegistry> registry_ = std::make_shared<CommandRegistry>(app_);
};

TEST_F(NativeFamily, EarlierRulesWin) {
  // Preview before the window prefix: the window is never touched.
  EXPECT_EQ(fails("plugin:window|preview_open", {{"url", "http://10.0.0.2/"}}),
            "preview_open: only loopback http(s) URLs are allowed");
  EXPECT_TRUE(fake_.window->actions.all().empty());
  // The store prefix takes everything after it as the operation.
  EXPECT_EQ(fails("plugin:store|plugin:window|close"),
            "store op not implemented: plugin:window|close");
  EXPECT_TRUE(fake_.window->actions.all().empty());
}

TEST_F(NativeFamily, ApplicationCommandsReadTheBundle) {
  EXPECT_EQ(ok("plugin:app|tauri_version"), "0.0.0-swift");
  EXPECT_EQ(fails("plugin:app|frobnicate"),
            "unsupported app plugin command: plugin:app|frobnicate");
  EXPECT_EQ(fails("plugin:app|"), "unsupported app plugin command: plugin:app|");

  // Outside a bundle, and with entries missing or of the wrong type: the fall-backs.
  std::string bundle = testing::make_temp_dir("vessa-bundle-") + "/Vessa.app";
  testing::ScopedExecutable running(bundle + "/bin/vessa");
  for (const char* info :
       {"", R"({"CFBundleName": 3})",
        R"({"CFBundleName": "Vessa Beta", "CFBundleShortVersionString": "2.4.1"})"}) {
    SCOPED_TRACE(info);
    if (*info != '\0') testing::write_bundle(bundle, {}, info);
    const bool full = std::string(info).find("Beta") != std::string::npos;
    EXPECT_EQ(ok("plugin:app|version"), full ? "2.4.1" : "0.0.0");
    EXPECT_EQ(ok("plugin:app|name"), full ? "Vessa Beta" : "Vessa");
  }
}

TEST_F(NativeFamily, WindowCommands) {
  struct Case {
    std::string op;
    json args;
    bool zoomed_before;
    std::vector<std::string> actions;
  } cases[] = {
      {"maximize", {}, true, {}},
      {"internal_toggle_maximize", {}, true, {}},
      {"internal_toggle_maximize", {}, false, {"maximize"}},
      {"toggle_maximize", {}, true, {"unmaximize"}},
      {"toggle_maximize", {}, false, {"maximize"}},
      {"set_maximized", {{"value", false}}, true, {"unmaximize"}},
      {"set_maximized", {{"value", "yes"}}, false, {"maximize"}},
      {"set_maximized", {}, false, {"maximize"}},
      {"destroy", {}, false, {"close"}},
      {"start_dragging", {}, false, {"start_dragging"}},
      {"show", {{"value", true}}, false, {}},
      {"hide", {}, true, {}},
  };
  for (const auto& c : cases) {
    FakePlatform fake;
    fake.window->zoomed = c.zoomed_before;
    json args = c.args.is_null() ? json::object() : c.args;
    EXPECT_EQ(ok("plugin:window|" + c.op, args), nullptr) << c.op << " " << args;
    EXPECT_EQ(fake.window->actions.all(), c.actions) << c.op << " " << args;
  }
  fake_.window->zoomed = true;
  EXPECT_EQ(ok("plugin:window|is_maximized"), true);
}

TEST_F(NativeFamily, WindowTitleThemeAndNoWindow) {
  ok("plugin:window|set_title", {{"title", 5}, {"value", "not used"}});  // mistyped: kept
  EXPECT_EQ(fake_.window->title, "Vessa");
  ok("plugin:window|set_title", {{"title", "Projects"}});
  EXPECT_EQ(fake_.window->title, "Projects");
  fake_.appearance->shown = platform::Theme::kDark;
  EXPECT_EQ(ok("plugin:window|theme"), "dark");

  // The window's and the app's setTheme: a theme, or null (or nothing) to follow the desktop.
  using platform::Theme;
  using Choice = std::optional<Theme>;
  ok("plugin:window|set_theme", {{"label", "main"}, {"value", "light"}});
  ok("plugin:window|set_theme", {{"value", nullptr}});
  ok("plugin:app|set_app_theme", {{"theme", "dark"}});
  ok("plugin:app|set_app_theme", json::object());
  for (const json& bad : {json("Dark"), json(1), json::object()}) {
    EXPECT_EQ(fails("plugin:window|set_theme", {{"value", bad}}),
              "plugin:window|set_theme: theme must be \"light\", \"dark\" or null");
    EXPECT_EQ(fails("plugin:app|set_app_theme", {{"theme", bad}}),
              "plugin:app|set_app_theme: theme must be \"light\", \"dark\" or null");
  }
  EXPECT_EQ(fake_.appearance->choices,
            (std::vector<Choice>{Theme::kLight, std::nullopt, Theme::kDark, std::nullopt}));

  platform::update_services([](platform::Services& s) { s.main_window = nullptr; });
  for (const char* op : {"is_maximized", "theme", "set_theme", "maximize", "close"}) {
    EXPECT_EQ(ok(std::string("plugin:window|") + op, {{"value", "dark"}}), nullptr) << op;
  }
  EXPECT_EQ(fake_.window->actions.all(), std::vector<std::string>{"set_title"});
  EXPECT_EQ(fake_.appearance->choices.size(), 4u);
}

TEST_F(NativeFamily, PreviewOpen) {
  EXPECT_EQ(fails("preview_open", {{"url", 42}}), "preview_open: missing url");
  EXPECT_EQ(fails("preview_open", {{"url", "file:///etc/passwd"}}),
            "preview_open: only loopback http(s) URLs are allowed");
  EXPECT_EQ(ok("preview_open", {{"url", "http://127.0.0.1:5173/app"}, {"title", "Dev"}}),
            json({{"ok", true}, {"url", "http://127.0.0.1:5173/app"}}));
  EXPECT_EQ(ok("plugin:window|preview_open", {{"url", "HTTPS://LOCALHOST:8443"}, {"title", 1}}),
            json({{"ok", true}, {"url", "HTTPS://LOCALHOST:8443"}}));
  drain();
  using Open = std::pair<std::string, std::optional<std::string>>;
  EXPECT_EQ(fake_.previews->opened.all(),
            (std::vector<Open>{{"http://127.0.0.1:5173/app", "Dev"},
                               {"HTTPS://LOCALHOST:8443", std::nullopt}}));
}

TEST_F(NativeFamily, OpenPanel) {
  using Paths = std::optional<std::vector<std::string>>;
  const Paths none = std::vector<std::string>{}, two = std::vector<std::string>{"/x", "/y"};
  struct Case {
    std::string cmd;
    json args;
    Paths answer;
    std::pair<bool, bool> asked;  // directories, multiple
    json result;
  } cases[] = {
      {"open_folder_dialog", {{"directory", "no"}}, two, {true, false}, "/x"},
      {"plugin:dialog|open", {{"directory", true}}, two, {true, false}, "/x"},
      {"plugin:dialog|open", {{"multiple", true}}, two, {false, true}, json({"/x", "/y"})},
      {"plugin:dialog|open", {{"multiple", true}}, none, {false, true}, json::array()},
      {"plugin:dialog|open", json::object(), none, {false, false}, nullptr},
      {"open_folder_dialog", {{"multiple", true}}, std::nullopt, {true, true}, nullptr},
  };
  for (const auto& c : cases) {
    FakePlatform fake;
    fake.dialogs->answer = c.answer;
    EXPECT_EQ(ok(c.cmd, c.args), c.result) << c.cmd << " " << c.args;
    EXPECT_EQ(fake.dialogs->asked, std::vector{c.asked}) << c.cmd << " " << c.args;
  }
  platform::update_services([](platform::Services& s) { s.dialogs = nullptr; });
  EXPECT_EQ(ok("open_folder_dialog"), nullptr);
}

TEST_F(NativeFamily, NotificationsWhenTheServiceIsUsable) {
  fake_.notifications->allowed = false;
  EXPECT_EQ(ok("plugin:notification|is_permission_granted"), false);
  EXPECT_EQ(ok("plugin:notification|request_permission"), "denied");
  fake_.notifications->allowed = true;
  EXPECT_EQ(ok("plugin:notification|permission_state"), "granted");
  EXPECT_EQ(ok("plugin:notification|register_action_types"), nullptr);
  ok("plugin:notification|notify", {{"title", 3}, {"body", 4}});
  ok("plugin:notification|notify", {{"title", "Done"}, {"body", "Build ok"}, {"sound", false}});
  auto posted = fake_.notifications->posted.all();
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_EQ(std::tie(posted[0].title, posted[0].body, posted[0].sound),
            std::tuple("Vessa", std::nullopt, false));
  // Any `sound` value asks for the sound, false included.
  EXPECT_EQ(std::tie(posted[1].title, posted[1].body, posted[1].sound),
            std::tuple("Done", "Build ok", true));
}

TEST_F(NativeFamily, NotificationsWhenNotUsable) {
  auto check = [&] {
    EXPECT_EQ(ok("plugin:notification|is_permission_granted"), false);
    EXPECT_EQ(ok("plugin:notification|permission_state"), nullptr);
    EXPECT_EQ(ok("plugin:notification|request_permission"), nullptr);
    EXPECT_EQ(ok("plugin:notification|notify", {{"title", "t"}}), nullptr);
  };
  fake_.notifications->present = false;
  check();
  EXPECT_TRUE(fake_.notifications->posted.all().empty());
  EXPECT_EQ(fake_.notifications->permission_requests, 0);
  platform::update_services([](platform::Services& s) { s.notifications = nullptr; });
  check();
}

TEST_F(NativeFamily, ShellOpenMakesFileUrisOfPaths) {
  std::string cwd = std::filesystem::current_path().string();
  const std::pair<json, std::optional<std::string>> cases[] = {
      {{{"path", "vscode://file/x"}}, "vscode://file/x"},
      {{{"path", "/tmp/some dir/ü.txt"}}, "file:///tmp/some%20dir/%C3%BC.txt"},
      {{{"path", 3}, {"url", "/srv"}}, "file:///srv"},
      {{{"path", "rel/file"}}, "file://" + cwd + "/rel/file"},
      {{{"path", ""}}, std::nullopt},
  };
  for (const auto& [args, opened] : cases) {
    FakePlatform fake;
    EXPECT_EQ(ok("plugin:shell|open", args), nullptr);
    EXPECT_EQ(fake.opener->opened.all(),
              opened ? std::vector<std::string>{*opened} : std::vector<std::string>{})
        << args;
  }
}

TEST_F(NativeFamily, ExecutorEnsureWithoutSupervisor) {
  // The app context exists but has no supervisor.
  EXPECT_EQ(fails("executor_ensure"), "executor supervisor unavailable");
  auto orphan = std::make_shared<CommandRegistry>(std::weak_ptr<AppContext>());
  EXPECT_EQ(dispatch_and_wait(*orphan, "plugin:executor|ensure", {{"force", true}}).error(),
            "executor supervisor unavailable");
}

TEST_F(NativeFamily, ProcessCommands) {
  std::vector<std::vector<std::string>> started;
  relaunch::set_starter_for_testing([&](const std::vector<std::string>& argv) {
    started.push_back(argv);
    return true;
  });
  EXPECT_EQ(ok("plugin:process|"), nullptr);
  drain();
  EXPECT_EQ(app_->quits, 0);
  // exit quits through the normal path and leaves its status for the process.
  EXPECT_EQ(ok("plugin:process|exit", {{"code", 7}}), nullptr);
  drain();
  EXPECT_TRUE(started.empty());
  EXPECT_EQ(app_->quits, 1);
  EXPECT_EQ(lifecycle::requested_exit_status(), 7);

  // This test binary is an application instance as far as its command line goes.
  for (const char* cmd : {"plugin:process|relaunch", "plugin:process|restart||"}) {
    EXPECT_EQ(ok(cmd), nullptr);
    drain();
  }
  ASSERT_EQ(started.size(), 2u);
  EXPECT_EQ(app_->quits, 3);
  EXPECT_EQ(started[0][0], paths::executable_path().string());

  // Without the application nothing is started: this instance could not end.
  auto orphan = std::make_shared<CommandRegistry>(std::weak_ptr<AppContext>());
  EXPECT_TRUE(dispatch_and_wait(*orphan, "plugin:process|relaunch").ok());
  drain();
  EXPECT_EQ(started.size(), 2u);
  relaunch::set_starter_for_testing(nullptr);
}

TEST_F(NativeFamily, UpdaterRoutes) {
  EXPECT_EQ(ok("plugin:updater|check"), nullptr);
  drain();
  EXPECT_EQ(app_->update_checks, 0);
  auto defaults = platform::services().user_defaults;
  ASSERT_TRUE(defaults);
  defaults->set("vessa.update.snoozeUntil", 1e12);
  defaults->set("other", true);
  EXPECT_EQ(ok("vessa|check_update"), nullptr);
  EXPECT_TRUE(testing::run_until([&] { return app_->update_checks == 1; }));
  EXPECT_FALSE(defaults->get("vessa.update.snoozeUntil").has_value());
  EXPECT_TRUE(defaults->get("other").has_value());
  drain();
  EXPECT_EQ(app_->update_checks, 1);
}

TEST(Relaunch, NewInstanceCommandLine) {
  using V = std::vector<std::string>;
  struct Case {
    std::string cmdline;
    V expected;
  } cases[] = {
      {std::string("vessa\0", 6), V{"/p/vessa"}},
      {std::string("vessa\0--flag\0two words\0", 23), V{"/p/vessa", "--flag", "two words"}},
      {std::string("vessa\0\0", 7), V{"/p/vessa", ""}},
      {std::string("vessa\0--invoke\0__ping\0", 22), V{}},
      {std::string("vessa\0--selftest-commands\0", 26), V{}},
      {"", V{}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(relaunch::newInstanceArgv(c.cmdline, "/p/vessa"), c.expected) << c.cmdline;
  }
}

}  // namespace
}  // namespace vessa
