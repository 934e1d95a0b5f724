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
#include "fixtures/helpers.hpp"
#include "fixtures/temp_home.hpp"
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
    proc::RunOptions run;
    run.timeout = std::chrono::minutes(4);
    auto built = proc::run({{std::string(VESSA_SOURCE_DIR) + "/scripts/" + script, dir},
                            std::nullopt,
                            "",
                            proc::Stdio::null(),
                            proc::Stdio::pipe(),
                            proc::Stdio::pipe()},
                           run);
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

TEST(TauriApiPackage, InvokeListenOnceEmitUnlisten) {
  TempHome home;
  BuiltPage built("build-tauri-api-page");
  if (built.skip) GTEST_SKIP() << "npm is not available: cannot fetch @tauri-apps/api";
  ASSERT_EQ(built.error, "");
  const std::string& version = built.out;

  HostedPage page(built.dir);
  ASSERT_TRUE(run_until([] { return !config_value("tauri").is_null(); }, std::chrono::seconds(60)))
      << "the page built with @tauri-apps/api " << version << " never reported";
  json r = config_value("tauri");
  ASSERT_FALSE(r.contains("error")) << r["error"];
  EXPECT_EQ(r["roundTrip"], (json{1, "two"}));
  // once fires for the first event only and removes itself; unlisten stops the other one.
  EXPECT_EQ(r["events"], json::parse(R"([["listen",1,"demo"],["once",1],["listen",2,"demo"]])"))
      << "@tauri-apps/api " << version;
}

TEST(TauriPluginPackages, StoreAcrossRestartPathOsClipboardLogOpener) {
  TempHome home;
  FakePlatform fakes;
  platform::update_services(
      [](platform::Services& s) { s.clipboard = std::make_shared<platform::GtkClipboard>(); });
  LogCapture log;
  BuiltPage built("build-tauri-plugins-page");
  if (built.skip) GTEST_SKIP() << "npm is not available: cannot fetch the @tauri-apps packages";
  ASSERT_EQ(built.error, "");

  json first;
  {
    HostedPage page(built.dir);
    ASSERT_TRUE(
        run_until([] { return !config_value("plugins1").is_null(); }, std::chrono::seconds(60)));
    first = config_value("plugins1");
  }
  ASSERT_FALSE(first.contains("error")) << first["error"];
  EXPECT_EQ(first["isTauri"], true);
  EXPECT_EQ(first["missing"], true);
  EXPECT_EQ(first["nullKept"], true);
  EXPECT_EQ(first["changes"].size(), 9u) << first["changes"];
  EXPECT_EQ(first["changes"][7], json::parse(R"(["int","undefined"])"));
  const std::string data = commands::app_dirs::app_data_dir().string();
  EXPECT_EQ(first["paths"], json({data, "/x/z.txt", "z"}));
  EXPECT_EQ(first["os"][0], "linux");
  EXPECT_EQ(first["os"][4], "\n");
  EXPECT_EQ(first["os"][6], "string");
  EXPECT_EQ(first["identifier"], commands::app_dirs::identifier());
  EXPECT_EQ(first["clipText"], "clip ✓ 1");
  EXPECT_EQ(first["clipHtmlAlt"], "bold");
  EXPECT_EQ(first["clipCleared"],
            "The clipboard contents were not available in the requested format or the "
            "clipboard is empty.");
  const auto lines = log.lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
    return l.starts_with("[VessaMac] [webview][INFO] page says hi (info@");
  })) << json(lines).dump(1);
  EXPECT_EQ(fakes.opener->opened.all(), std::vector<std::string>{"https://example.invalid/vessa"});
  EXPECT_EQ(read_json_file(data + "/prefs/b.json"), json({{"theme", "dark"}, {"size", 1}}));

  // A new shell process: the stores come back from their own files.
  HostedPage again(built.dir);
  ASSERT_TRUE(
      run_until([] { return !config_value("plugins2").is_null(); }, std::chrono::seconds(60)));
  json second = config_value("plugins2");
  const json values = {{"nul", nullptr},
                       {"yes", true},
                       {"int", -7},
                       {"real", 2.5},
                       {"text", "é\u2028\""},
                       {"list", {1, "two", nullptr}},
                       {"obj", {{"k", {{"deep", false}}}}}};
  EXPECT_EQ(second["entries"], values);
  EXPECT_EQ(second["theme"], "dark");
  EXPECT_EQ(second["size"], 1);
}

TEST(TauriPluginPackages, WindowSizesResizeEventStateFileAndCloseRequest) {
  TempHome home;
  BuiltPage built("build-tauri-plugins-page");
  if (built.skip) GTEST_SKIP() << "npm is not available: cannot fetch the @tauri-apps packages";
  ASSERT_EQ(built.error, "");
  write_file(home.path() + "/.vessa/config.json", R"({"plugins_scenario": "window"})");
  {
    HostedPage page(built.dir);
    GtkWindow* window = page.window();
    platform::update_services([&](platform::Services& s) {
      s.main_window = std::make_shared<platform::GtkMainWindow>(
          window, [&page](const std::string& event, const json& payload) {
            page.host().bridge()->emit(event, payload);
          });
    });
    ASSERT_TRUE(
        run_until([] { return !config_value("window1").is_null(); }, std::chrono::seconds(60)));
    json r = config_value("window1");
    ASSERT_FALSE(r.contains("error")) << r["error"];
    EXPECT_EQ(r["inner"], json({"Physical", 640, 480}));
    EXPECT_EQ(r["resizeType"], "Physical");
    EXPECT_EQ(r["restored"], true);
    EXPECT_EQ(r["file"], ".window-state.json");
    const json state =
        read_json_file(commands::window_state::file_path().string()).value_or(json());
    EXPECT_EQ(state["main"]["width"], 640) << state;
    EXPECT_EQ(state["main"]["height"], 480) << state;
    EXPECT_EQ(state["main"]["maximized"], false) << state;

    // The page refuses the first close request and lets the second one through.
    gtk_window_close(window);
    EXPECT_TRUE(run_until([] { return config_value("windowCloses") == 1; }));
    run_until([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_NE(page.window(), nullptr);
    gtk_window_close(window);
    EXPECT_TRUE(run_until([&] { return page.window() == nullptr; }));
    EXPECT_EQ(config_value("windowCloses"), 2);
    platform::update_services([](platform::Services& s) { s.main_window.reset(); });
  }
}

// The dialog and notification packages against fake panels and a notification service on a
// private bus; shown notifications come back through the core package's Channel.
TEST(TauriPluginPackages, DialogsNotificationsAndAChannel) {
  TempHome home;
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
  write_file(home.path() + "/.vessa/config.json", R"({"plugins_scenario": "dialogs"})");
  BuiltPage built("build-tauri-plugins-page");
  if (built.skip) GTEST_SKIP() << "npm is not available: cannot fetch the @tauri-apps packages";
  ASSERT_EQ(built.error, "");
  {
    HostedPage page(built.dir);
    ASSERT_TRUE(
        run_until([] { return !config_value("dialogs").is_null(); }, std::chrono::seconds(60)));
  }
  json r = config_value("dialogs");
  ASSERT_FALSE(r.contains("error")) << r["error"];
  EXPECT_EQ(r["open"], json({"/srv/a", "/srv/b"}));
  EXPECT_EQ(r["save"], "/tmp/picked.txt");
  EXPECT_EQ(json({r["ask"], r["confirm"], r["custom"], r["message"]}),
            json::parse(R"([true, false, true, "Ok"])"));
  EXPECT_EQ(r["permission"], json::parse(R"([true, "granted", "granted"])"));
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
  std::vector<std::pair<std::string, std::string>> shown;
  for (const auto& n : server.received()) shown.emplace_back(n.summary, n.body);
  std::sort(shown.begin(), shown.end());
  EXPECT_EQ(shown, (std::vector<std::pair<std::string, std::string>>{{"Build", "done ✓"},
                                                                     {"Second", "two"}}));
  ASSERT_TRUE(r["received"].is_array()) << r;
  auto received = r["received"].get<std::vector<json>>();
  std::sort(received.begin(), received.end(), [](const json& a, const json& b) {
    return a.value("title", "") < b.value("title", "");
  });
  EXPECT_EQ(json(received), json::parse(R"([{"title": "Build", "body": "done ✓"},
                                      {"title": "Second", "body": "two"}])"));
}

}  // namespace
}  // namespace vessa::testing
