// The page bridge end to end in the real WebKit engine: a test front end served through the
// "vessa" scheme calls invoke and fetch and reports back through config_set; window.open goes
// to the default handler.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/web_host_support.hpp"
#include "bridge/ui_token.hpp"
#include "fixtures/fake_platform.hpp"
#include "fixtures/scripts.hpp"

namespace vessa::testing {
namespace {

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

}  // namespace
}  // namespace vessa::testing
