// Page messages in, resolve and emit scripts out, through the main queue.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <optional>
#include <thread>

#include "bridge/bridge.hpp"
#include "bridge/js.hpp"
#include "commands/command_registry.hpp"
#include "fixtures/helpers.hpp"
#include "support/dispatch.hpp"

namespace vessa::bridge {

using commands::AppContext;
using commands::Bytes;
using commands::ChannelSender;
using commands::CommandRegistry;
using commands::CommandResult;
using commands::Completion;

namespace {

using vessa::testing::FakeEvaluator;
using vessa::testing::run_until;

struct BridgeFixture : ::testing::Test {
  std::shared_ptr<CommandRegistry> registry =
      std::make_shared<CommandRegistry>(std::weak_ptr<AppContext>());
  std::shared_ptr<Bridge> bridge = Bridge::create(registry);
  std::shared_ptr<FakeEvaluator> view = std::make_shared<FakeEvaluator>();

  BridgeFixture() { bridge->set_web_view(view); }

  // Drains the main queue: messages are answered asynchronously. One entry per evaluation.
  std::vector<std::string> settle() {
    std::atomic<bool> drained{false};
    dispatch::main_async([&] { drained = true; });
    run_until([&] { return drained.load(); });
    return view ? view->scripts() : std::vector<std::string>{};
  }
  // The same, with every joined evaluation split back into its scripts.
  std::vector<std::string> settle_scripts() {
    std::vector<std::string> out;
    for (const auto& s : settle()) {
      auto parts = split_batch(s);
      out.insert(out.end(), parts.begin(), parts.end());
    }
    return out;
  }

  // The call the page's __VESSA_BATCH makes for one of its items, as script text.
  static std::string resolve_text(int64_t id, bool ok, const json& value) {
    return "window.__VESSA_RESOLVE(" + std::to_string(id) + (ok ? ", true, " : ", false, ") +
           encode_json(value) + ");";
  }
  static std::string emit_text(const std::string& event, const json& value) {
    return "window.__VESSA_EMIT(" + encode_json(event) + ", " + encode_json(value) + ");";
  }

  // A batch evaluation back as the calls it stands for (values carried as bytes come back as
  // their address); anything else is one script. Every batch is pure ASCII.
  static std::vector<std::string> split_batch(const std::string& text) {
    static const std::string open = "window.__VESSA_BATCH(", close = ");";
    if (text.rfind(open, 0) != 0) return {text};
    for (unsigned char c : text) EXPECT_LT(c, 0x80) << "batch is not ASCII";
    EXPECT_EQ(text.substr(text.size() - close.size()), close);
    auto items = parse_json(text.substr(open.size(), text.size() - open.size() - close.size()));
    if (!items || !items->is_array()) {
      ADD_FAILURE() << "batch is not one JSON array: " << text.substr(0, 80);
      return {};
    }
    std::vector<std::string> parts;
    for (const auto& item : *items) {
      const bool answer = item[0].is_number();
      const bool callback = item[0].is_null();
      const size_t plain = answer || callback ? 3 : 2;  // items without a value's address
      const json& value = item.size() > plain ? item.back() : item[plain - 1];
      if (callback) {
        parts.push_back("window.__VESSA_CB(" + item[1].dump() + ", " + encode_json(value) + ");");
        continue;
      }
      parts.push_back(answer ? resolve_text(item[0].get<int64_t>(), item[1].get<bool>(), value)
                             : emit_text(item[0].get<std::string>(), value));
    }
    return parts;
  }
};

// An answer given at once leaves before the page's message handler returns, but never inside
// the call that gave it; answers to messages arriving in a burst wait and leave together.
TEST_F(BridgeFixture, AnswersLeaveAfterTheirCallAndBurstsTravelTogether) {
  std::vector<size_t> seen_inside;
  registry->set_family_override_for_testing(
      "handleNative", [&](const std::string& cmd, const json& args, const Completion& done) {
        if (cmd != "echo") return false;
        done(CommandResult::success(args));
        seen_inside.push_back(view->scripts().size());
        bridge->emit("after", 1);
        seen_inside.push_back(view->scripts().size());
        return true;
      });
  bridge->on_message({{"type", "invoke"}, {"reqId", 3}, {"cmd", "echo"}});
  EXPECT_EQ(seen_inside, (std::vector<size_t>{0, 0}));
  auto scripts = view->scripts();
  // Without waiting for the main queue; args default to {}. (The event after an answer has an
  // evaluation of its own, so code awaiting the answer runs first.)
  ASSERT_EQ(scripts.size(), 2u);
  EXPECT_EQ(split_batch(scripts[0]),
            std::vector<std::string>{resolve_text(3, true, json::object())});
  EXPECT_EQ(split_batch(scripts[1]), std::vector<std::string>{emit_text("after", 1)});
  // Right behind it, a burst (a gap this machine cannot miss under load): its answers wait for
  // the main queue and leave as one batch.
  bridge->set_burst_gap_for_testing(int64_t{3600} * 1000 * 1000);
  for (int id = 4; id < 8; ++id) {
    bridge->on_message({{"type", "invoke"}, {"reqId", id}, {"cmd", "__ping"}});
  }
  auto evaluations = settle();
  ASSERT_EQ(evaluations.size(), 3u);
  auto parts = split_batch(evaluations[2]);
  ASSERT_EQ(parts.size(), 4u);
  EXPECT_EQ(parts[0], R"(window.__VESSA_RESOLVE(4, true, {"ok":true,"shell":"swift"});)");
}

// Objects, JSON text and strings holding JSON are read by the same rules: ids become signed
// integers (truncated, and saturated rather than wrapped), args that are not an object count
// as empty, and anything malformed is ignored without a word. Text is parsed once, so a JSON
// string holding a message is not a message. A message nested too deep for anything recursive
// gets an answer, never a crash; half an emoji reads as U+FFFD and the request still settles.
TEST_F(BridgeFixture, EveryMessageFormFollowsTheObjectRules) {
  vessa::testing::LogCapture logs;
  registry->set_family_override_for_testing(
      "handleNative", [](const std::string& cmd, const json& args, const Completion& done) {
        if (cmd != "echo") return false;
        done(CommandResult::success(args));
        return true;
      });
  auto ping = [](json id) { return json{{"type", "invoke"}, {"reqId", id}, {"cmd", "__ping"}}; };
  const std::string pong = R"(, true, {"ok":true,"shell":"swift"});)";
  const std::string max = "window.__VESSA_RESOLVE(9223372036854775807" + pong;
  struct Case {
    json message;                     // posted as an object unless `text` is set
    std::optional<std::string> text;  // posted as text
    std::string answer;               // empty: ignored
  };
  const Case cases[] = {
      {ping(7.9), {}, "window.__VESSA_RESOLVE(7" + pong},
      {ping(-2), {}, "window.__VESSA_RESOLVE(-2" + pong},
      {ping(1e300), {}, max},
      {ping(uint64_t{1} << 63), {}, max},
      {{}, R"({"type":"invoke","reqId":4,"cmd":"__ping"})", "window.__VESSA_RESOLVE(4" + pong},
      {R"({"type":"invoke","reqId":5,"cmd":"config_get","args":[1,2]})",
       {},
       "window.__VESSA_RESOLVE(5, true, null);"},
      {"not json", {}, ""},
      {json::array({"invoke", 1, "__ping"}), {}, ""},
      {{{"type", "Invoke"}, {"reqId", 1}, {"cmd", "__ping"}}, {}, ""},
      {{{"reqId", 1}, {"cmd", "__ping"}}, {}, ""},
      {ping("1"), {}, ""},
      {{{"type", "invoke"}, {"cmd", "__ping"}}, {}, ""},
      {{{"type", "invoke"}, {"reqId", 1}, {"cmd", 5}}, {}, ""},
      {{}, R"("{\"type\":\"invoke\",\"reqId\":1,\"cmd\":\"__ping\"}")", ""},
      {{}, "{", ""},
      {{},
       R"({"type":"invoke","reqId":8,"cmd":"config_set","args":{"value":)" +
           std::string(300000, '[') + std::string(300000, ']') + "}}",
       R"(window.__VESSA_RESOLVE(8, false, "config_set: arguments nest deeper than 512 levels");)"},
      {{},
       R"({"type":"invoke","reqId":9,"cmd":"echo","args":{"s":"a\ud83db"}})",
       "window.__VESSA_RESOLVE(9, true, {\"s\":\"a\xEF\xBF\xBD"
       "b\"});"},
  };
  std::vector<std::string> answers;
  for (const auto& c : cases) {
    if (c.text) {
      bridge->on_message_text(*c.text);
    } else {
      bridge->on_message(c.message);
    }
    if (!c.answer.empty()) answers.push_back(c.answer);
  }
  EXPECT_EQ(settle_scripts(), answers);
  EXPECT_TRUE(logs.lines().empty());
}

// Only the app's IPC script knows the page key; whatever else reaches the handler is dropped,
// with one log line per page load.
TEST_F(BridgeFixture, PostedMessagesRunOnlyWithThePageKey) {
  vessa::testing::LogCapture logs;
  const std::string ping = R"({"type":"invoke","reqId":1,"cmd":"__ping"})";
  const std::string& key = bridge->page_key();
  EXPECT_EQ(key.size(), 32u);
  EXPECT_NE(key, Bridge::create(registry)->page_key());
  std::string wrong = key;
  wrong[5] = wrong[5] == 'a' ? 'b' : 'a';
  for (const std::string& posted : {ping, wrong + ping, key.substr(0, 31) + ping}) {
    bridge->on_posted_message(posted);
  }
  bridge->on_foreign_message();
  EXPECT_TRUE(settle().empty());
  const std::string dropped =
      "[VessaMac] bridge: dropped a message that did not come from the app's page";
  EXPECT_EQ(logs.lines(), std::vector<std::string>{dropped});
  bridge->page_committed();
  bridge->on_foreign_message();
  EXPECT_EQ(logs.lines(), (std::vector<std::string>{dropped, dropped}));
  bridge->on_posted_message(key + ping);
  EXPECT_EQ(
      settle_scripts(),
      std::vector<std::string>{R"(window.__VESSA_RESOLVE(1, true, {"ok":true,"shell":"swift"});)"});
}

// The page's calls of one turn arrive in one post, each led by a record separator: each is
// read alone (a broken or too deep one spoils nothing else) and the answers leave together.
TEST_F(BridgeFixture, MessagesOfOneTurnArriveTogetherAndAreReadAlone) {
  const std::string rs = "\x1e";
  const std::string deep = R"({"type":"invoke","reqId":3,"cmd":"x","args":)" +
                           std::string(600, '[') + std::string(600, ']') + "}";
  bridge->on_posted_message(bridge->page_key() + rs +
                            R"({"type":"invoke","reqId":1,"cmd":"__ping"})" + rs + "{broken" + rs +
                            rs + deep + rs + R"({"type":"invoke","reqId":2,"cmd":"__ping"})");
  const auto evaluations = settle();
  ASSERT_EQ(evaluations.size(), 1u);
  EXPECT_EQ(split_batch(evaluations[0]),
            (std::vector<std::string>{
                R"(window.__VESSA_RESOLVE(1, true, {"ok":true,"shell":"swift"});)",
                R"(window.__VESSA_RESOLVE(3, false, "x: arguments nest deeper than 512 levels");)",
                R"(window.__VESSA_RESOLVE(2, true, {"ok":true,"shell":"swift"});)"}));
}

// A command streams to the page's channel in order and ends it; what was sent for a page load
// that has gone never reaches the next one, even when queued before it committed.
TEST_F(BridgeFixture, ChannelMessagesReachOnlyTheirOwnPageLoad) {
  std::optional<ChannelSender> channel;
  registry->set_family_override_for_testing(
      "handleNative", [&](const std::string& cmd, const json& args, const Completion& done) {
        if (cmd != "stream") return false;
        channel = registry->channel_arg(args, "onEvent");
        done(CommandResult::success());
        return true;
      });
  auto stream = [&](int req, const char* id) {
    bridge->on_message(
        {{"type", "invoke"}, {"reqId", req}, {"cmd", "stream"}, {"args", {{"onEvent", id}}}});
  };
  stream(1, "__CHANNEL__:4");
  ASSERT_TRUE(channel);
  std::thread([&] {
    channel->send("a");
    channel->send(json{{"b", 1}});
    channel->end();
    channel->send("late");
  }).join();
  EXPECT_EQ(settle_scripts(),
            (std::vector<std::string>{R"(window.__VESSA_RESOLVE(1, true, null);)",
                                      R"(window.__VESSA_CB(4, {"index":0,"message":"a"});)",
                                      R"(window.__VESSA_CB(4, {"index":1,"message":{"b":1}});)",
                                      R"(window.__VESSA_CB(4, {"end":true,"index":2});)"}));

  const size_t before = settle_scripts().size();
  stream(2, "__CHANNEL__:5");
  settle();
  EXPECT_TRUE(channel->send("queued"));
  bridge->page_committed();
  EXPECT_FALSE(channel->send("after"));
  EXPECT_FALSE(channel->open());
  auto scripts = settle_scripts();
  EXPECT_EQ(std::vector<std::string>(scripts.begin() + static_cast<long>(before), scripts.end()),
            std::vector<std::string>{R"(window.__VESSA_RESOLVE(2, true, null);)"});
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

// Everything queued in one turn travels in batches cut at the size limit and after an answer
// that an event follows; the order always holds.
TEST_F(BridgeFixture, DeliveriesOfOneTurnTravelInOrderedBatches) {
  bridge->set_value_bytes_for_testing(1);  // this view takes no values: all stays text
  // Long, and not ASCII to begin with: the worker's thread makes it so.
  const std::string big = std::string(size_t{12} * 1024, 'x') + "\u00e9\u2028";
  std::thread worker([&] {
    bridge->emit("a", 1);
    bridge->emit("b", 2);
    bridge->resolve(3, CommandResult::success(big));
    bridge->emit("c", 3);
    // Enough small deliveries to need more than one batch.
    const json payload = std::string(1000, 'p');
    for (int i = 0; i < 600; ++i) bridge->emit("n" + std::to_string(i), payload);
    bridge->run("window.custom = 1;");
    bridge->emit("d", 4);
  });
  worker.join();
  auto evaluations = settle();
  ASSERT_GE(evaluations.size(), 5u);
  EXPECT_EQ(
      split_batch(evaluations[0]),
      (std::vector<std::string>{emit_text("a", 1), emit_text("b", 2), resolve_text(3, true, big)}));
  std::vector<std::string> rest;
  for (size_t i = 1; i + 2 < evaluations.size(); ++i) {
    EXPECT_LE(evaluations[i].size(), Bridge::kMaxBatchBytes + 4096);
    auto parts = split_batch(evaluations[i]);
    rest.insert(rest.end(), parts.begin(), parts.end());
  }
  ASSERT_EQ(rest.size(), 601u);
  EXPECT_EQ(rest[0], emit_text("c", 3));
  for (int i = 0; i < 600; ++i) {
    EXPECT_EQ(rest[i + 1].rfind("window.__VESSA_EMIT(\"n" + std::to_string(i) + "\", ", 0), 0u);
  }
  // A raw script keeps its place and its text; a delivery alone travels as a batch of one.
  EXPECT_EQ(evaluations[evaluations.size() - 2], "window.custom = 1;");
  EXPECT_EQ(evaluations.back(), R"(window.__VESSA_BATCH([["d",4]]);)");
}

// A web view that takes values and bytes as memory files: records what each token's file holds.
class ValueTakingEvaluator : public FakeEvaluator {
 public:
  bool takes_values() const override { return true; }
  void hand_value(const std::string& token, int fd) override { take(token, fd, std::nullopt); }
  void hand_bytes(const std::string& token, int fd, size_t size) override { take(token, fd, size); }
  std::map<std::string, std::pair<std::string, size_t>> values;

 private:
  void take(const std::string& token, int fd, std::optional<size_t> size) {
    struct stat st {};
    ASSERT_EQ(fstat(fd, &st), 0);
    std::string bytes(size.value_or(static_cast<size_t>(st.st_size)), '\0');
    ASSERT_EQ(pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    // Sealed: the page reads exactly what was handed over.
    EXPECT_EQ(fcntl(fd, F_GET_SEALS) & F_SEAL_WRITE, F_SEAL_WRITE);
    // Handed over before the evaluation that names it.
    values[token] = {bytes, scripts().size()};
  }
};

// Bytes and large values have no script-text form (that the page gets them intact is proven in
// the real engine): a view that cannot take memory files gets a failure for bytes; one that can
// gets each in a sealed file under a token of its own, a value as pure ASCII, before the batch.
TEST_F(BridgeFixture, BytesAndLargeValuesTravelOnlyAsSealedMemoryFiles) {
  const std::string bytes = std::string("\0\x01\xFF", 3) + std::string(70000, '\x80');
  bridge->resolve(5, CommandResult::bytes(Bytes(bytes)));
  EXPECT_EQ(settle_scripts(),
            std::vector<std::string>{resolve_text(5, false, "the result could not be delivered")});

  auto taking = std::make_shared<ValueTakingEvaluator>();
  view = taking;
  bridge->set_web_view(view);
  bridge->set_value_bytes_for_testing(64 * 1024);
  const std::string value = std::string(70000, 'z') + " caf\xC3\xA9 \xE2\x80\xA8";
  bridge->resolve(6, CommandResult::bytes(Bytes(bytes)));
  bridge->resolve(7, CommandResult::success(value));
  auto evaluations = settle();
  ASSERT_EQ(evaluations.size(), 1u);
  ASSERT_EQ(taking->values.size(), 2u);  // tokens never repeat
  std::string bytes_token;
  std::string value_token;
  for (const auto& [token, handed] : taking->values) {
    EXPECT_EQ(handed.second, 0u) << "handed over after the batch";
    if (token.front() == 'x') {  // bytes
      bytes_token = token;
      EXPECT_EQ(handed.first, bytes);
      continue;
    }
    value_token = token;
    EXPECT_EQ(token.size(), 32u);
    for (unsigned char c : handed.first) ASSERT_LT(c, 0x80) << "file not ASCII";
    ASSERT_EQ(handed.first.back(), '\0');
    EXPECT_EQ(json::parse(handed.first.substr(0, handed.first.size() - 1)), value);
  }
  EXPECT_EQ(evaluations[0], "window.__VESSA_BATCH([[6,true,null,\"" + bytes_token +
                                "\"],[7,true,null,\"" + value_token + "\"]]);");
}

}  // namespace
}  // namespace vessa::bridge
