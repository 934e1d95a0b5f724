// The platform plug-in family against fake desktop services.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "commands/commands_test_support.hpp"
#include "commands/relaunch.hpp"
#include "executor/cli_auth_refresh.hpp"
#include "executor/executor_supervisor.hpp"
#include "fixtures/bundle.hpp"
#include "fixtures/fake_platform.hpp"
#include "fixtures/http_server.hpp"
#include "fixtures/loopback.hpp"
#include "fixtures/recording_app.hpp"
#include "support/dispatch.hpp"
#include "support/paths.hpp"

namespace vessa::commands {

using executor::ExecutorSupervisor;

namespace {

using testing::dispatch_and_wait;
using testing::FakePlatform;
using testing::RecordingApp;

class NativeFamily : public ::testing::Test,
                     protected testing::HomeAndApp<RecordingApp>,
                     protected testing::Commands {
 protected:
  NativeFamily() : Commands(app_) {}
  // Runs the main-queue work queued so far: the queue keeps its order.
  void drain() {
    auto ran = std::make_shared<std::atomic<bool>>(false);
    dispatch::main_async([ran] { *ran = true; });
    ASSERT_TRUE(testing::run_until([&] { return ran->load(); }));
  }

  FakePlatform fake_;
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

// What a valid theme does to a real window is the window tests'; here the refusals, and that
// without a window the window's theme is nobody's choice.
TEST_F(NativeFamily, ThemeChoicesOnlyLightDarkOrNull) {
  using platform::Theme;
  EXPECT_EQ(fails("plugin:window|set_theme", {{"value", "Dark"}}),
            "plugin:window|set_theme: theme must be \"light\", \"dark\" or null");
  EXPECT_EQ(fails("plugin:app|set_app_theme", {{"theme", 1}}),
            "plugin:app|set_app_theme: theme must be \"light\", \"dark\" or null");
  ok("plugin:app|set_app_theme", {{"theme", "dark"}});
  ok("plugin:app|set_app_theme", json::object());
  EXPECT_EQ(fake_.appearance->choices,
            (std::vector<std::optional<Theme>>{Theme::kDark, std::nullopt}));
  platform::update_services([](platform::Services& s) { s.main_window = nullptr; });
  EXPECT_EQ(ok("plugin:window|set_theme", {{"value", "dark"}}), nullptr);
  EXPECT_EQ(fake_.appearance->choices.size(), 2u);
}

TEST_F(NativeFamily, PreviewOpen) {
  EXPECT_EQ(fails("preview_open", {{"url", 42}}), "preview_open: missing url");
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

// What the dialog commands asked of the panels, as one comparable value.
json panels_asked(const testing::FakeDialogs& d) {
  auto text = [](const std::optional<std::string>& t) { return t ? json(*t) : json(); };
  auto chooser = [&](const char* panel, const platform::ChooserOptions& o) {
    json filters = json::array();
    for (const auto& f : o.filters) filters.push_back({f.name, f.extensions});
    return json{panel, o.directories, o.multiple, text(o.title), filters, text(o.default_path)};
  };
  json out = json::array();
  for (const auto& o : d.opened) out.push_back(chooser("open", o));
  for (const auto& o : d.saved) out.push_back(chooser("save", o));
  for (const auto& m : d.messages) {
    out.push_back({"message", m.message, text(m.title), static_cast<int>(m.kind), m.buttons});
  }
  return out;
}

TEST_F(NativeFamily, DialogCommands) {
  // Rows hold JSON texts. `answer`: the panel's (paths, a path, or a button index; null:
  // cancelled). `result`: the value, or {"failure": text}. `asked`: panels_asked() afterwards.
  // What the package's own calls reach is the page tests'; here the branches they do not take.
  struct Case {
    const char *cmd, *args, *answer, *result, *asked;
  } cases[] = {
      {"open_folder_dialog", R"({"directory": "no", "title": 4})", R"(["/x", "/y"])", R"("/x")",
       R"([["open", true, false, null, [], null]])"},
      {"plugin:dialog|open", R"({"multiple": true})", "[]", "[]",
       R"([["open", false, true, null, [], null]])"},
      {"plugin:dialog|open", "{}", "[]", "null", R"([["open", false, false, null, [], null]])"},
      {"open_folder_dialog", R"({"multiple": true})", "null", "null",
       R"([["open", true, true, null, [], null]])"},
      // The package's form: everything under `options`; malformed filters are skipped.
      {"plugin:dialog|open",
       R"({"options": {"directory": true, "multiple": true, "title": "Pick", "defaultPath": "/srv",
           "filters": [{"name": "Text", "extensions": ["txt", "md", 3, ""]}, {"name": "x"}, 5]}})",
       R"(["/x", "/y"])", R"(["/x", "/y"])",
       R"([["open", true, true, "Pick", [["Text", ["txt", "md"]]], "/srv"]])"},
      {"plugin:dialog|save",
       R"({"options": {"title": "Save as", "defaultPath": "/tmp/out.txt", "multiple": true,
           "directory": true, "filters": [{"name": "Text", "extensions": ["txt"]}]}})",
       R"("/tmp/b.txt")", R"("/tmp/b.txt")",
       R"([["save", false, false, "Save as", [["Text", ["txt"]]], "/tmp/out.txt"]])"},
      {"plugin:dialog|save", "{}", "null", "null", R"([["save", false, false, null, [], null]])"},
      {"plugin:dialog|message", R"({"message": "m", "kind": "error", "buttons": "YesNoCancel"})",
       "1", R"("No")", R"([["message", "m", null, 2, ["Yes", "No", "Cancel"]]])"},
      {"plugin:dialog|message",
       R"({"message": "m", "title": "Q", "kind": "warning", "buttons": {"OkCustom": "Fine"}})", "0",
       R"("Fine")", R"([["message", "m", "Q", 1, ["Fine"]]])"},
      // An index past the buttons (a misbehaving panel) answers as closing does: the last one.
      {"plugin:dialog|message",
       R"({"message": "m", "kind": 7, "buttons": {"YesNoCancelCustom": ["Y", "N", "C"]}})", "9",
       R"("C")", R"([["message", "m", null, 0, ["Y", "N", "C"]]])"},
      {"plugin:dialog|message", R"({"message": "m", "buttons": "Maybe"})", "0",
       R"({"failure": "plugin:dialog|message: unsupported buttons"})", "[]"},
      {"plugin:dialog|message", R"({"message": "m", "buttons": {"OkCancelCustom": ["a", 2]}})", "0",
       R"({"failure": "plugin:dialog|message: unsupported buttons"})", "[]"},
      {"plugin:dialog|message", R"({"buttons": "Ok"})", "0",
       R"({"failure": "plugin:dialog|message: missing message"})", "[]"},
  };
  for (const auto& c : cases) {
    FakePlatform fake;
    const json answer = json::parse(c.answer);
    if (answer.is_array()) fake.dialogs->answer = answer.get<std::vector<std::string>>();
    if (answer.is_string()) fake.dialogs->save_answer = answer.get<std::string>();
    fake.dialogs->clicks = {answer.is_number() ? std::optional(answer.get<size_t>())
                                               : std::nullopt};
    CommandResult r = run(c.cmd, json::parse(c.args));
    const json got = r.ok() ? r.value() : json{{"failure", r.error()}};
    EXPECT_EQ(got, json::parse(c.result)) << c.cmd << " " << c.args;
    EXPECT_EQ(panels_asked(*fake.dialogs), json::parse(c.asked)) << c.cmd << " " << c.args;
  }
  // Without panels: nothing chosen, and a message answers as closed.
  platform::update_services([](platform::Services& s) { s.dialogs = nullptr; });
  EXPECT_EQ(ok("open_folder_dialog"), nullptr);
  EXPECT_EQ(ok("plugin:dialog|save"), nullptr);
  EXPECT_EQ(ok("plugin:dialog|message", {{"message", "m"}, {"buttons", "OkCancel"}}), "Cancel");
}

// Granted permission and what a notification shows are the page tests'; any other operation
// answers null.
TEST_F(NativeFamily, NotificationsDeniedAndMistypedFields) {
  fake_.notifications->allowed = false;
  EXPECT_EQ(ok("plugin:notification|is_permission_granted"), false);
  EXPECT_EQ(ok("plugin:notification|request_permission"), "denied");
  fake_.notifications->allowed = true;
  EXPECT_EQ(ok("plugin:notification|register_action_types"), nullptr);
  ok("plugin:notification|notify", {{"title", 3}, {"body", 4}});
  ok("plugin:notification|notify", {{"title", "Done"}, {"sound", false}});
  auto posted = fake_.notifications->posted.all();
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_EQ(std::tie(posted[0].title, posted[0].body, posted[0].sound),
            std::tuple("Vessa", std::nullopt, false));
  // Any `sound` value asks for the sound, false included.
  EXPECT_TRUE(posted[1].sound);
}

// Records what reaches the page's callbacks; `current` says whether its page load still lives.
struct RecordingSink : CallbackSink {
  void call_back(uint64_t page_load, int64_t id, json payload) override {
    calls.add({{"load", page_load}, {"id", id}, {"payload", std::move(payload)}});
  }
  bool page_current(uint64_t /*page_load*/) const override { return current; }
  testing::Recorded<json> calls;
  std::atomic<bool> current{true};
};

// Delivery in order and the end on removal are the page tests'; here what registers nothing
// and what lets a listener go.
TEST_F(NativeFamily, NotificationListenersEndWithTheirPageLoad) {
  auto sink = std::make_shared<RecordingSink>();
  registry->set_callback_sink(sink);
  const json listen = {{"event", "notification"}, {"handler", "__CHANNEL__:9"}};
  // Arguments that do not fit register nothing; like any plug-in operation they answer null.
  EXPECT_EQ(ok("plugin:notification|register_listener", {{"handler", "__CHANNEL__:8"}}), nullptr);
  EXPECT_EQ(
      ok("plugin:notification|register_listener", {{"event", "notification"}, {"handler", 8}}),
      nullptr);
  ok("plugin:notification|registerListener", listen);
  ok("plugin:notification|notify", {{"title", "A"}});
  EXPECT_EQ(json(sink->calls.all()), json::parse(R"([
    {"load": 0, "id": 9, "payload": {"index": 0, "message": {"title": "A"}}}])"));

  // A new page load lets go of the listeners of the one before. (A channel whose page has gone
  // sends nothing: the bridge tests'.)
  registry->on_page_load();
  ok("plugin:notification|notify", {{"title", "new page"}});
  EXPECT_EQ(sink->calls.all().size(), 1u) << json(sink->calls.all());
}

TEST(ChannelSender, KeepsOrderAcrossThreadsAndReadsOnlyChannelArguments) {
  auto sink = std::make_shared<RecordingSink>();
  ChannelSender channel(sink, 4, 2);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([channel]() mutable {
      for (int i = 0; i < 200; ++i) channel.send(i);
    });
  }
  for (auto& t : threads) t.join();
  channel.end();
  auto calls = sink->calls.all();
  ASSERT_EQ(calls.size(), 801u);
  // Indexes reach the page in the order they were given, whichever thread sent.
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i]["payload"]["index"], i);
    EXPECT_EQ(calls[i]["load"], 4);
  }
  EXPECT_EQ(calls.back()["payload"], json::parse(R"({"index": 800, "end": true})"));

  EXPECT_EQ(channel_id("__CHANNEL__:12"), 12);
  for (const json& bad : {json("__CHANNEL__:"), json("__CHANNEL__:-1"), json("__CHANNEL__:1x"),
                          json("__CHANNEL__:99999999999999999999"), json("12"), json(12)}) {
    EXPECT_EQ(channel_id(bad), std::nullopt) << bad;
  }
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

// The route hands the page the supervisor's outcome: a status, and a message only with an error.
TEST_F(NativeFamily, ExecutorEnsureAnswersWithTheSupervisorsOutcome) {
  EXPECT_EQ(fails("executor_ensure"), "executor supervisor unavailable");
  auto orphan = std::make_shared<CommandRegistry>(std::weak_ptr<AppContext>());
  EXPECT_EQ(dispatch_and_wait(*orphan, "plugin:executor|ensure", {{"force", true}}).error(),
            "executor supervisor unavailable");

  testing::HttpServer healthy;  // an executor already answering on the port is adopted
  healthy.serve("/health", "ok");
  executor::detail::set_refresh_url_for_testing(healthy.url("/refresh-cli-auth"));
  testing::ScopedExecutable nowhere(home_.path() + "/elsewhere/bin/vessa");
  ExecutorSupervisor::Options o;
  o.port = static_cast<uint16_t>(std::stoi(healthy.root().substr(healthy.root().rfind(':') + 1)));
  app_->supervisor = ExecutorSupervisor::create(o);
  EXPECT_EQ(ok("plugin:executor|ensure", {{"force", true}}), json({{"status", "ready"}}));
  // Nobody on the port, and no program to start.
  o.port = testing::free_loopback_port();
  app_->supervisor = ExecutorSupervisor::create(o);
  EXPECT_EQ(ok("executor_ensure", {{"force", "yes"}}),
            json({{"status", "error"}, {"message", "executor binary not found"}}));
  app_->supervisor->stop();
  executor::detail::set_refresh_url_for_testing("");
}

TEST_F(NativeFamily, ProcessCommands) {
  std::vector<std::vector<std::string>> started;
  relaunch::set_starter_for_testing([&](const std::vector<std::string>& argv) {
    started.push_back(argv);
    return true;
  });
  // exit (and its status) is the real application's quit path, proven in the app tests.
  EXPECT_EQ(ok("plugin:process|"), nullptr);
  drain();
  EXPECT_EQ(app_->quits, 0);
  // This test binary is an application instance as far as its command line goes.
  for (const char* cmd : {"plugin:process|relaunch", "plugin:process|restart||"}) {
    EXPECT_EQ(ok(cmd), nullptr);
    drain();
  }
  ASSERT_EQ(started.size(), 2u);
  EXPECT_EQ(app_->quits, 2);
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
  const std::pair<std::string, V> cases[] = {
      {std::string("vessa\0--flag\0two words\0", 23), V{"/p/vessa", "--flag", "two words"}},
      {std::string("vessa\0\0", 7), V{"/p/vessa", ""}},
      {std::string("vessa\0--invoke\0__ping\0", 22), V{}},
      {std::string("vessa\0--selftest-commands\0", 26), V{}},
      {"", V{}},
  };
  for (const auto& [cmdline, expected] : cases) {
    EXPECT_EQ(relaunch::new_instance_argv(cmdline, "/p/vessa"), expected) << cmdline;
  }
}

}  // namespace
}  // namespace vessa::commands
