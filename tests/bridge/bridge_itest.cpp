// Page messages in, resolve and emit scripts out, through the main queue.
#include <gtest/gtest.h>

#include <thread>

#include "bridge/bridge.hpp"
#include "bridge/js.hpp"
#include "commands/command_registry.hpp"
#include "fixtures/helpers.hpp"
#include "support/dispatch.hpp"

namespace vessa {
namespace {

using vessa::testing::FakeEvaluator;
using vessa::testing::run_until;

struct BridgeFixture : ::testing::Test {
  std::shared_ptr<CommandRegistry> registry =
      std::make_shared<CommandRegistry>(std::weak_ptr<AppContext>());
  std::shared_ptr<Bridge> bridge = Bridge::create(registry);
  std::shared_ptr<FakeEvaluator> view = std::make_shared<FakeEvaluator>();

  BridgeFixture() { bridge->set_web_view(view); }

  // Drains the main queue: messages are answered asynchronously.
  std::vector<std::string> settle() {
    std::atomic<bool> drained{false};
    dispatch::main_async([&] { drained = true; });
    run_until([&] { return drained.load(); });
    return view ? view->scripts() : std::vector<std::string>{};
  }
};

TEST_F(BridgeFixture, InvokeWithoutArgsIsDispatchedWithAnEmptyObject) {
  bridge->on_message({{"type", "invoke"}, {"reqId", 3}, {"cmd", "__ping"}});
  EXPECT_TRUE(view->scripts().empty());  // never evaluated inside the caller's call
  auto scripts = settle();
  ASSERT_EQ(scripts.size(), 1u);
  EXPECT_EQ(scripts[0], R"(window.__VESSA_RESOLVE(3, true, {"ok":true,"shell":"swift"});)");
}

TEST_F(BridgeFixture, MalformedMessagesAreIgnoredSilently) {
  vessa::testing::LogCapture logs;
  const json bad[] = {
      nullptr,
      "not json",
      R"({"type":"invoke","reqId":"1","cmd":"__ping"})",  // string form, string reqId
      json::array({"invoke", 1, "__ping"}),
      42,
      {{"type", "emit"}, {"reqId", 1}, {"cmd", "__ping"}},
      {{"type", "Invoke"}, {"reqId", 1}, {"cmd", "__ping"}},
      {{"type", 1}, {"reqId", 1}, {"cmd", "__ping"}},
      {{"reqId", 1}, {"cmd", "__ping"}},
      {{"type", "invoke"}, {"reqId", "1"}, {"cmd", "__ping"}},
      {{"type", "invoke"}, {"reqId", true}, {"cmd", "__ping"}},
      {{"type", "invoke"}, {"reqId", nullptr}, {"cmd", "__ping"}},
      {{"type", "invoke"}, {"cmd", "__ping"}},
      {{"type", "invoke"}, {"reqId", 1}, {"cmd", 5}},
      {{"type", "invoke"}, {"reqId", 1}},
  };
  for (const auto& m : bad) bridge->on_message(m);
  EXPECT_TRUE(settle().empty());
  EXPECT_TRUE(logs.lines().empty());
}

TEST_F(BridgeFixture, RequestIdsAreTruncatedSignedIntegers) {
  bridge->on_message({{"type", "invoke"}, {"reqId", 7.9}, {"cmd", "__ping"}});
  bridge->on_message({{"type", "invoke"}, {"reqId", -2}, {"cmd", "__ping"}});
  bridge->on_message({{"type", "invoke"}, {"reqId", 1e300}, {"cmd", "__ping"}});
  auto scripts = settle();
  ASSERT_EQ(scripts.size(), 3u);
  EXPECT_EQ(scripts[0].rfind("window.__VESSA_RESOLVE(7, true, ", 0), 0u);
  EXPECT_EQ(scripts[1].rfind("window.__VESSA_RESOLVE(-2, true, ", 0), 0u);
  EXPECT_EQ(scripts[2].rfind("window.__VESSA_RESOLVE(9223372036854775807, true, ", 0), 0u);
}

TEST_F(BridgeFixture, StringMessagesAndNonObjectArgsFollowTheObjectRules) {
  bridge->on_message(R"({"type":"invoke","reqId":5,"cmd":"config_get","args":[1,2]})");
  auto scripts = settle();
  ASSERT_EQ(scripts.size(), 1u);  // args that are not an object count as empty
  EXPECT_EQ(scripts[0], "window.__VESSA_RESOLVE(5, true, null);");
}

TEST_F(BridgeFixture, FailuresArriveAsExactStringLiterals) {
  const std::string message = "bad \"quote\" it's \\ back\nslash \u2028 </script>";
  bridge->resolve(9, CommandResult::failure(message));
  auto scripts = settle();
  ASSERT_EQ(scripts.size(), 1u);
  const std::string prefix = "window.__VESSA_RESOLVE(9, false, ";
  ASSERT_EQ(scripts[0].rfind(prefix, 0), 0u);
  std::string literal = scripts[0].substr(prefix.size(), scripts[0].size() - prefix.size() - 2);
  EXPECT_EQ(json::parse(literal).get<std::string>(), message);
  EXPECT_EQ(scripts[0].find('\n'), std::string::npos);
}

TEST_F(BridgeFixture, EventsAndResultsKeepTheirOrderFromOneThread) {
  std::thread worker([&] {
    bridge->emit("a-event", {{"n", 1}});
    bridge->resolve(1, CommandResult::success("A"));
    bridge->resolve(2, CommandResult::success("B"));
    bridge->emit("b-event", nullptr);
  });
  worker.join();
  auto scripts = settle();
  ASSERT_EQ(scripts.size(), 4u);
  EXPECT_EQ(scripts[0], R"(window.__VESSA_EMIT("a-event", {"n":1});)");
  EXPECT_EQ(scripts[1], R"(window.__VESSA_RESOLVE(1, true, "A");)");
  EXPECT_EQ(scripts[2], R"(window.__VESSA_RESOLVE(2, true, "B");)");
  EXPECT_EQ(scripts[3], R"(window.__VESSA_EMIT("b-event", null);)");
}

TEST_F(BridgeFixture, LateResultsAfterTheViewOrBridgeIsGoneAreDropped) {
  std::weak_ptr<FakeEvaluator> gone = view;
  bridge->emit("before", 1);
  view.reset();  // the web view went away before the main queue ran
  settle();
  EXPECT_TRUE(gone.expired());

  // A completion that outlives the bridge itself.
  auto other_view = std::make_shared<FakeEvaluator>();
  bridge->set_web_view(other_view);
  Completion late;
  registry->set_family_override_for_testing(
      "handleNative", [&](const std::string& cmd, const json&, const Completion& done) {
        if (cmd != "slow") return false;
        late = done;
        return true;
      });
  bridge->on_message({{"type", "invoke"}, {"reqId", 1}, {"cmd", "slow"}});
  bridge.reset();
  std::thread([&] { late(CommandResult::success()); }).join();
  settle();
  EXPECT_TRUE(other_view->scripts().empty());
}

TEST(BridgeScripts, EmitAndResolveTextIsExact) {
  EXPECT_EQ(Bridge::emit_script("executor-status", {{"status", "ready"}}),
            R"(window.__VESSA_EMIT("executor-status", {"status":"ready"});)");
  EXPECT_EQ(Bridge::resolve_script(12, CommandResult::success()),
            "window.__VESSA_RESOLVE(12, true, null);");
  EXPECT_EQ(Bridge::resolve_script(-1, CommandResult::failure("x")),
            R"(window.__VESSA_RESOLVE(-1, false, "x");)");
}

}  // namespace
}  // namespace vessa
