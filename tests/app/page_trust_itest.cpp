// Who reaches native commands, in the real WebKit engine: only the main frame of the app's own
// page; frames and pages the view navigated to get no scripts and their messages do nothing.
// Answers belong to the page load that asked.
#include <gtest/gtest.h>

#include "app/web_host_support.hpp"
#include "commands/command_registry.hpp"
#include "fixtures/helpers.hpp"
#include "fixtures/http_server.hpp"
#include "fixtures/temp_home.hpp"
#include "support/dispatch.hpp"

namespace vessa::testing {
namespace {

using commands::CommandResult;
using commands::Completion;

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
