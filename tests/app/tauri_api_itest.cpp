// The unmodified @tauri-apps packages from npm, bundled into test pages, against the shell: the
// api package's invoke, events, channels and window module, and the plug-in packages through
// their public functions.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/web_host_support.hpp"
#include "commands/app_dirs.hpp"
#include "commands/window_state.hpp"
#include "fixtures/dbus_notifications.hpp"
#include "fixtures/fake_platform.hpp"
#include "platform/gtk/clipboard_gtk.hpp"
#include "platform/gtk/main_window_gtk.hpp"
#include "platform/notifications_dbus.hpp"
#include "support/subprocess.hpp"

namespace vessa::testing {
namespace {

// A test page built by one of the scripts/ build scripts into a temporary folder, removed with
// the object. `skip`: npm is not there (the test then skips); `error`: the failed build's output.
struct BuiltPage {
  explicit BuiltPage(const std::string& script) {
    proc::Options build;
    build.argv = {std::string(VESSA_SOURCE_DIR) + "/scripts/" + script, dir};
    proc::RunOptions limit;
    limit.timeout = 4min;
    auto built = proc::run(build, limit);
    skip = !built || (built->status.exited && built->status.code == 3);
    if (skip) return;
    if (!built->status.success()) error = built->err.empty() ? "build failed" : built->err;
    out = built->out;
  }
  ScratchDir scratch{"vessa-tauri-page-"};
  std::string dir = scratch.path();
  std::string out;
  std::string error;
  bool skip = false;
};

// A home of its own and the plug-in packages' page, built in it.
class TauriPluginPackages : public ::testing::Test {
 protected:
  void SetUp() override {
    if (built_.skip) GTEST_SKIP() << "npm is not available: cannot fetch the @tauri-apps packages";
    ASSERT_EQ(built_.error, "");
  }
  TempHome home_;
  BuiltPage built_{"build-tauri-plugins-page"};
};

TEST(TauriApiPackage, InvokeListenOnceEmitUnlisten) {
  TempHome home;
  BuiltPage built("build-tauri-api-page");
  if (built.skip) GTEST_SKIP() << "npm is not available: cannot fetch @tauri-apps/api";
  ASSERT_EQ(built.error, "");
  HostedPage page(built.dir);
  json r = await_config("tauri");
  ASSERT_TRUE(r.is_object() && !r.contains("error"))
      << "the page built with @tauri-apps/api " << built.out << " reported " << r;
  EXPECT_EQ(r["roundTrip"], (json{1, "two"}));
  // once fires for the first event only and removes itself; unlisten stops the other one.
  EXPECT_EQ(r["events"], json::parse(R"([["listen",1,"demo"],["once",1],["listen",2,"demo"]])"))
      << "@tauri-apps/api " << built.out;
}

TEST_F(TauriPluginPackages, StoreAcrossRestartPathOsClipboardLogOpener) {
  FakePlatform fakes;
  platform::update_services(
      [](platform::Services& s) { s.clipboard = std::make_shared<platform::GtkClipboard>(); });
  LogCapture log;
  json first;
  {
    HostedPage page(built_.dir);
    first = await_config("plugins1");
  }
  ASSERT_TRUE(first.is_object() && !first.contains("error")) << first;
  EXPECT_EQ(first["changes"].size(), 9u) << first["changes"];
  EXPECT_EQ(first["changes"][7], json::parse(R"(["int","undefined"])"));
  const std::string data = commands::app_dirs::app_data_dir().string();
  EXPECT_EQ(json({first["os"][0], first["os"][4], first["os"][6]}),
            json({"linux", "\n", "string"}));
  EXPECT_EQ(first["paths"], json({data, "/x/z.txt", "z"}));
  EXPECT_EQ(first["identifier"], commands::app_dirs::identifier());
  EXPECT_EQ(
      members(first, {"isTauri", "missing", "nullKept", "clipText", "clipHtmlAlt", "clipCleared"}),
      json::parse(R"({"isTauri": true, "missing": true, "nullKept": true,
                "clipText": "clip ✓ 1", "clipHtmlAlt": "bold", "clipCleared":
                "The clipboard contents were not available in the requested format or the clipboard is empty."})"));
  const auto lines = log.lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
    return l.starts_with("[VessaMac] [webview][INFO] page says hi (info@");
  })) << json(lines).dump(1);
  EXPECT_EQ(fakes.opener->opened.all(), std::vector<std::string>{"https://example.invalid/vessa"});
  EXPECT_EQ(read_json_file(data + "/prefs/b.json"), json({{"theme", "dark"}, {"size", 1}}));

  // A new shell process: the stores come back from their own files.
  HostedPage again(built_.dir);
  EXPECT_EQ(await_config("plugins2"), json::parse(R"({"theme": "dark", "size": 1, "entries": {
      "nul": null, "yes": true, "int": -7, "real": 2.5, "text": "é\u2028\"", "list": [1, "two", null],
      "obj": {"k": {"deep": false}}}})"));
}

TEST_F(TauriPluginPackages, WindowSizesResizeEventStateFileAndCloseRequest) {
  write_file(home_.path() + "/.vessa/config.json", R"({"plugins_scenario": "window"})");
  HostedPage page(built_.dir);
  GtkWindow* window = page.window();
  platform::update_services([&](platform::Services& s) {
    s.main_window = std::make_shared<platform::GtkMainWindow>(
        window, [&page](const std::string& event, const json& payload) {
          page.host().bridge()->emit(event, payload);
        });
  });
  json r = await_config("window1");
  ASSERT_TRUE(r.is_object() && !r.contains("error")) << r;
  EXPECT_EQ(r, json::parse(R"({"inner": ["Physical", 640, 480], "resizeType": "Physical",
                                "restored": true, "file": ".window-state.json"})"));
  const json state = read_json_file(commands::window_state::file_path().string()).value_or(json());
  EXPECT_EQ(members(state["main"], {"width", "height", "maximized"}),
            json::parse(R"({"width": 640, "height": 480, "maximized": false})"))
      << state;

  // The page refuses the first close request and lets the second one through.
  gtk_window_close(window);
  EXPECT_TRUE(run_until([] { return config_value("windowCloses") == 1; }));
  run_until([] { return false; }, 300ms);
  EXPECT_NE(page.window(), nullptr);
  gtk_window_close(window);
  EXPECT_TRUE(run_until([&] { return page.window() == nullptr; }));
  EXPECT_EQ(config_value("windowCloses"), 2);
  platform::update_services([](platform::Services& s) { s.main_window.reset(); });
}

// The dialog and notification packages against fake panels and a notification service on a
// private bus; shown notifications come back through the core package's Channel.
TEST_F(TauriPluginPackages, DialogsNotificationsAndAChannel) {
  FakePlatform fakes;
  PrivateBus bus;
  ASSERT_TRUE(bus.ready());
  FakeServer server(bus.address());
  ASSERT_TRUE(server.owns_name());
  platform::update_services([&](platform::Services& s) {
    s.notifications = std::make_shared<platform::DBusNotifications>(bus.address());
  });
  fakes.dialogs->answer = std::vector<std::string>{"/srv/a", "/srv/b"};
  fakes.dialogs->save_answer = "/tmp/picked.txt";
  fakes.dialogs->clicks = {0, 1, 0};  // ask: Yes, confirm: Cancel, custom confirm: ok; then closed
  write_file(home_.path() + "/.vessa/config.json", R"({"plugins_scenario": "dialogs"})");
  json r;
  {
    HostedPage page(built_.dir);
    r = await_config("dialogs");
  }
  ASSERT_TRUE(r.is_object() && !r.contains("error")) << r;
  EXPECT_EQ(members(r, {"open", "save", "ask", "confirm", "custom", "message", "permission"}),
            json::parse(R"({"open": ["/srv/a", "/srv/b"], "save": "/tmp/picked.txt", "ask": true,
                "confirm": false, "custom": true, "message": "Ok",
                "permission": [true, "granted", "granted"]})"));
  const std::vector<platform::FileFilter> text = {{"Text", {"txt", "md"}}};
  using Chooser = platform::ChooserOptions;
  EXPECT_EQ(fakes.dialogs->opened, (std::vector<Chooser>{{true, true, "Pick", text, "/srv"}}));
  EXPECT_EQ(fakes.dialogs->saved,
            (std::vector<Chooser>{{false, false, "Save as", text, "/tmp/out.txt"}}));
  std::vector<std::vector<std::string>> buttons;
  for (const auto& m : fakes.dialogs->messages) buttons.push_back(m.buttons);
  EXPECT_EQ(json(buttons),
            json::parse(R"([["Yes","No"],["Ok","Cancel"],["Do it","Stop"],["Ok"]])"));

  // The two notifications are posted from different threads: either may come first.
  json shown = json::array();
  for (const auto& n : server.received()) shown.push_back({{"title", n.summary}, {"body", n.body}});
  ASSERT_TRUE(r["received"].is_array()) << r;
  json received = r["received"];
  for (json* list : {&shown, &received}) std::sort(list->begin(), list->end());
  const json expected = json::parse(R"([{"title": "Build", "body": "done ✓"},
                                        {"title": "Second", "body": "two"}])");
  EXPECT_EQ(shown, expected);
  EXPECT_EQ(received, expected);
}

}  // namespace
}  // namespace vessa::testing
