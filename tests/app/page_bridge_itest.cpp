// The page bridge end to end in the real WebKit engine: a test front end served through the
// "vessa" scheme calls invoke and fetch and reports back through config_set; window.open goes
// to the default handler. Only the main frame of the app's own page reaches native commands:
// frames and pages the view navigated to get no scripts and their messages do nothing; answers
// belong to the page load that asked.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/web_host_support.hpp"
#include "bridge/ui_token.hpp"
#include "fixtures/fake_platform.hpp"
#include "fixtures/http_server.hpp"
#include "fixtures/scripts.hpp"

namespace vessa::testing {
namespace {

using commands::CommandResult;
using commands::Completion;

// Runs once per load. The first load checks ids, rejections, the token, the scheme as fetch
// sees it, then reloads; the second load reports its first id and the token again.
constexpr const char* kIndexHtml = R"HTML(<!doctype html>
<html><head><meta charset="utf-8"><title>bridge test</title></head>
<body><div id="root"><p>one</p><p>two</p></div>
<script>
(async () => {
  const t = window.__TAURI_INTERNALS__;
  const ids = [];
  const original = window.__VESSA_RESOLVE;
  window.__VESSA_RESOLVE = (id, ok, data) => { ids.push(id); original(id, ok, data); };
  const r = {};
  r.ping = await t.invoke('__ping');
  r.firstId = ids[0];
  if (location.hash === '#again') {
    r.token = window.__VESSA_UI_TOKEN;
    await t.invoke('config_set', { key: 'second', value: r });
    return;
  }
  const odd = 'x"\'\\\nY';
  try { await t.invoke(odd, {}); r.rejection = 'resolved?'; } catch (e) { r.rejection = e; }
  r.token = window.__VESSA_UI_TOKEN;
  try { window.__VESSA_UI_TOKEN = 'overwritten'; } catch (e) {}
  r.tokenAfterWrite = window.__VESSA_UI_TOKEN;
  try { r.deleted = delete window.__VESSA_UI_TOKEN; } catch (e) { r.deleted = 'threw'; }
  r.enumerable = Object.keys(window).includes('__VESSA_UI_TOKEN') ||
      window.propertyIsEnumerable('__VESSA_UI_TOKEN');
  r.fetches = {};
  for (const f of ['style.css', 'code.JS', 'data.json', 'app.js.map', 'notes.txt', 'pic.svg',
                   'index.html', '']) {
    const res = await fetch('/' + f);
    const bytes = new Uint8Array(await res.arrayBuffer()).length;
    r.fetches[f] = [res.status, res.headers.get('content-type'), res.headers.get('content-length'),
      res.headers.get('access-control-allow-origin'), res.headers.get('cache-control'), bytes];
  }
  const index = await (await fetch('/index.html')).text();
  r.routeFallback = (await (await fetch('/deep/client/route')).text()) === index;
  r.refused = {};
  for (const p of ['/..%2Fsecret.txt', '/link-out.txt', '/sub/..%2F..%2Fsecret.txt', '/nope.js']) {
    r.refused[p] = await fetch(p).then(async (res) => 'served ' + await res.text(), () => 'refused');
  }
  await t.invoke('config_set', { key: 'first', value: r });
  location.hash = 'again';
  location.reload();
})();
</script></body></html>
)HTML";

class PageBridge : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(root_ + "/index.html", kIndexHtml);
    write_file(root_ + "/style.css", "body{}");
    write_file(root_ + "/code.JS", "var a = 'é';");
    write_file(root_ + "/data.json", "{\"a\":1}");
    write_file(root_ + "/app.js.map", "{}");
    write_file(root_ + "/notes.txt", "plain text");
    write_file(root_ + "/pic.svg", "<svg xmlns='http://www.w3.org/2000/svg'/>");
    write_file(root_ + "/sub/keep.txt", "k");
    write_file(base_ + "/secret.txt", "SECRET");
    std::filesystem::create_symlink(base_ + "/secret.txt", root_ + "/link-out.txt");
  }
  TempHome home_;
  ScratchDir scratch_{"vessa-page-"};
  std::string base_ = scratch_.path();
  std::string root_ = base_ + "/dist";
};

TEST_F(PageBridge, FrontEndReportsIdsRejectionsTokenAndSchemeThroughTheBridge) {
  LogCapture logs;
  HostedPage page(root_);
  json second = await_config("second");
  ASSERT_FALSE(second.is_null()) << "the test page never reported back";
  json first = config_value("first");

  EXPECT_EQ(first["ping"], (json{{"ok", true}, {"shell", "swift"}}));
  EXPECT_EQ(first["firstId"], 1);
  EXPECT_EQ(second["firstId"], 1) << "request ids restart with every page load";
  EXPECT_EQ(first["rejection"], "command not implemented in the Swift shell yet: x\"'\\\nY");

  ASSERT_TRUE(bridge::ui_token::value().has_value());
  const std::string token = *bridge::ui_token::value();
  EXPECT_EQ(token.size(), 43u);
  EXPECT_EQ(first["token"], token);
  EXPECT_EQ(first["tokenAfterWrite"], token);
  EXPECT_EQ(first["deleted"], false);
  EXPECT_EQ(first["enumerable"], false);
  EXPECT_EQ(second["token"], token) << "a reload keeps the token";

  // Status, type, length, CORS and cache headers, and the bytes read.
  auto served = [](const std::string& type, size_t size) {
    return json{200, type, std::to_string(size), "*", "no-cache", size};
  };
  const size_t index = std::string(kIndexHtml).size();
  EXPECT_EQ(first["fetches"],
            (json{{"style.css", served("text/css; charset=utf-8", 6)},
                  {"code.JS", served("application/javascript; charset=utf-8", 13)},
                  {"data.json", served("application/json; charset=utf-8", 7)},
                  {"app.js.map", served("application/json", 2)},
                  {"notes.txt", served("text/plain", 10)},
                  {"pic.svg", served("image/svg+xml", 41)},
                  {"index.html", served("text/html; charset=utf-8", index)},
                  {"", served("text/html; charset=utf-8", index)}}));
  EXPECT_EQ(first["routeFallback"], true);
  EXPECT_EQ(first["refused"],
            json::parse(R"({"/..%2Fsecret.txt": "refused", "/link-out.txt": "refused",
      "/sub/..%2F..%2Fsecret.txt": "refused", "/nope.js": "refused"})"));

  const auto lines = logs.lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line.starts_with("[VessaMac] page-loaded probe: ") &&
           line.find("\"shim\":true") != std::string::npos &&
           line.find("\"isTauriInternals\":true") != std::string::npos &&
           line.find("\"title\":\"bridge test\"") != std::string::npos &&
           line.find("\"rootChildren\":2") != std::string::npos;
  })) << "no page-loaded probe line";
}

TEST(PageWindowOpen, NewWindowRequestsGoToTheDefaultHandler) {
  TempHome home;
  FakePlatform fakes;
  PageFolder root("<!doctype html><title>open</title><div id=root></div>");
  HostedPage page(root.path());
  ASSERT_TRUE(page.wait_loads(1));
  std::string before = webkit_web_view_get_uri(page.view());
  page.call("window.open('https://example.com/elsewhere'); return 1;");
  EXPECT_TRUE(run_until([&] { return !fakes.opener->opened.all().empty(); }));
  EXPECT_EQ(fakes.opener->opened.all(), std::vector<std::string>{"https://example.com/elsewhere"});
  EXPECT_EQ(webkit_web_view_get_uri(page.view()), before);
}

// VESSA_INSPECTOR turns the inspector on or off for one run; the host's own option wins over it.
TEST(PageInspector, TheVariableTurnsItOnOrOffAndTheOptionWins) {
  gtk_init();
  struct Case {
    std::optional<std::string> variable;
    std::optional<bool> option;
    bool inspector;
  };
  const Case cases[] = {
      {"1", std::nullopt, true},
      {"0", std::nullopt, false},
      {"0", true, true},
      {"1", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.variable.value_or("unset"));
    ScopedEnv variable("VESSA_INSPECTOR", c.variable);
    auto app = std::make_shared<TestApp>();
    app::WebViewHost::Options options;
    options.dist_root = "/nonexistent";
    options.inspector = c.option;
    auto host = app::WebViewHost::create(app, options);
    GtkWidget* view = g_object_ref_sink(host->build());
    EXPECT_EQ(webkit_settings_get_enable_developer_extras(
                  webkit_web_view_get_settings(WEBKIT_WEB_VIEW(view))),
              c.inspector);
    host.reset();
    g_object_unref(view);
  }
}

// What a foreign document tries: both message forms, straight to the handler, then a report of
// what it can see. No double quotes: it goes into attributes as it is.
constexpr const char* kForeignScript = R"JS(
  function attempt(key) {
    const m = { type: 'invoke', reqId: 1, cmd: 'config_set', args: { key: key, value: true } };
    try { window.webkit.messageHandlers.vessa.postMessage(JSON.stringify(m)); } catch (e) {}
    try { window.webkit.messageHandlers.vessa.postMessage(m); } catch (e) {}
    return { internals: typeof window.__TAURI_INTERNALS__, token: typeof window.__VESSA_UI_TOKEN };
  }
)JS";

std::string frame_page(const std::string& name) {
  return std::string("<script>") + kForeignScript + "parent.postMessage(Object.assign({frame: '" +
         name + "'}, attempt('from-" + name + "')), '*');</script>";
}

class PageTrust : public ::testing::Test {
 protected:
  TempHome home_;
};

TEST_F(PageTrust, FramesOfTheAppPageGetNothingAndTheirMessagesDoNothing) {
  // The frames post before they report, and the app page reports after both reports: by the
  // time "frames" is written, the frames' messages have been handled.
  PageFolder root(R"(<!doctype html><div id=root></div><script>
const reports = [];
addEventListener('message', async (e) => {
  reports.push(e.data);
  if (reports.length !== 2) return;
  await window.__TAURI_INTERNALS__.invoke('config_set', {key: 'frames', value: reports});
});
</script>
<iframe src="data:text/html,)" +
                  frame_page("data") + R"("></iframe>
<iframe srcdoc=")" +
                  frame_page("srcdoc") + "\"></iframe>\n");
  HostedPage page(root.path());
  json frames = await_config("frames", 30s);
  ASSERT_EQ(frames.size(), 2u) << "the frames never reported";
  for (const auto& report : frames) {
    EXPECT_EQ(report["internals"], "undefined") << report.dump();
    EXPECT_EQ(report["token"], "undefined") << report.dump();
  }
  EXPECT_TRUE(config_value("from-data").is_null()) << "a data: frame ran a command";
  EXPECT_TRUE(config_value("from-srcdoc").is_null()) << "a srcdoc frame ran a command";
}

TEST_F(PageTrust, APageTheViewNavigatedToGetsNothingAndItsMessagesDoNothing) {
  PageFolder root("<!doctype html><title>app</title>");
  HttpServer server([](httplib::Server& s) {
    s.Get("/remote", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("<!doctype html><title>remote</title>", "text/html");
    });
  });
  LogCapture logs;
  HostedPage page(root.path());
  ASSERT_TRUE(page.wait_loads(1));
  page.call("location.href = '" + server.url("/remote") + "'; return 1;");
  ASSERT_TRUE(page.wait_loads(2));
  auto seen = page.call(std::string(kForeignScript) + "return attempt('from-remote');");
  ASSERT_TRUE(seen.has_value());
  EXPECT_EQ(json::parse(*seen), (json{{"internals", "undefined"}, {"token", "undefined"}}));
  const std::string dropped =
      "[VessaMac] bridge: dropped a message that did not come from the app's page";
  ASSERT_TRUE(run_until([&] { return logs.contains(dropped); }, 10s));
  run_until([] { return false; }, 300ms);
  EXPECT_TRUE(config_value("from-remote").is_null()) << "a remote page ran a command";
}

// Load 1 asks for a slow answer and for bytes as request 1 and 2 and reloads; load 2 asks its
// own requests 1 and 2. Load 1's answers arrive first and must not settle load 2's promises.
TEST_F(PageTrust, AnAnswerToAnEarlierPageLoadIsDropped) {
  PageFolder root(R"HTML(<!doctype html><script>
const t = window.__TAURI_INTERNALS__;
const report = (key) => [(v) => t.invoke('config_set', { key, value: v }),
  (e) => t.invoke('config_set', { key, value: 'rejected: ' + e })];
if (location.hash !== '#two') {
  t.invoke('slow_echo', { ms: 600, tag: 'load one' });
  t.invoke('late_bytes', new Uint8Array([1, 2, 3]), { headers: { 'x-ms': '600' } });
  location.hash = 'two';
  location.reload();
} else {
  t.invoke('slow_echo', { ms: 1500, tag: 'load two' }).then(...report('answer'));
  t.invoke('late_bytes', new Uint8Array([4]), { headers: { 'x-ms': '1500' } })
      .then((v) => Array.from(new Uint8Array(v))).then(...report('bytes'));
}
</script>)HTML");
  HostedPage page(root.path());
  auto registry = page.host().bridge()->registry();
  registry->set_family_override_for_testing(
      "handleNative", [registry](const std::string& cmd, const json& args, const Completion& done) {
        if (cmd == "slow_echo") {
          json tag = args.value("tag", json());
          dispatch::main_after(std::chrono::milliseconds(args.value("ms", 0)),
                               [done, tag] { done(CommandResult::success(tag)); });
          return true;
        }
        if (cmd != "late_bytes") return false;
        const commands::CommandRequest* request = registry->request();
        const auto ms = std::chrono::milliseconds(std::stoi(request->headers.at("x-ms")));
        commands::Bytes body = request->body;
        dispatch::main_after(ms, [done, body] { done(CommandResult::bytes(body)); });
        return true;
      });
  ASSERT_TRUE(run_until(
      [] { return !config_value("answer").is_null() && !config_value("bytes").is_null(); }, 30s));
  EXPECT_EQ(config_value("answer"), "load two");
  EXPECT_EQ(config_value("bytes"), json::array({4}));
}

}  // namespace
}  // namespace vessa::testing
