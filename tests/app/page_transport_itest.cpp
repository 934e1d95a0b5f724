// The fast transport in the real engine: results and native events settle the same in every
// form, batched scripts keep their order, concurrent requests settle once, messages posted as
// JSON text follow the object rules, and bytes, headers and large arguments cross intact.
#include <gtest/gtest.h>

#include <thread>

#include "app/web_host_support.hpp"

namespace vessa::testing {

using commands::CommandResult;
using commands::Completion;

namespace {

// Every character awkward in script text, then bytes that are not UTF-8 (kTricky) or, as the
// page must see them, each invalid byte replaced by U+FFFD (kSeen).
const std::string kAwkward =
    "q\"a'b\\c\n\r\t\x01\x1f </script><!-- caf\xC3\xA9 \xF0\x9F\x98\x80 \xE2\x80\xA8|\xE2\x80\xA9 "
    "bad";
const std::string kTricky = kAwkward + "\xFF\xC3(end)";
const std::string kSeen = kAwkward + "\xEF\xBF\xBD\xEF\xBF\xBD(end)";

class PageTransport : public ::testing::Test {
 protected:
  // A loaded page with commands: "blob" answers {text, n} (or fails with the text) and "shout"
  // emits it, both from a pool thread, the text being kTricky after `pad` dots; "hold" answers
  // when the test says; "work" answers its "i".
  void SetUp() override {
    ASSERT_TRUE(page_.wait_loads(1));
    std::weak_ptr weak = page_.host().bridge();
    page_.host().bridge()->registry()->set_family_override_for_testing(
        "handleNative",
        [this, weak](const std::string& cmd, const json& args, const Completion& done) {
          if (cmd == "hold") held_ = done;
          if (cmd != "blob" && cmd != "shout" && cmd != "work") return cmd == "hold";
          const size_t pad = static_cast<size_t>(number_arg(args, "pad").value_or(0));
          const std::string text = std::string(pad, '.') + kTricky;
          dispatch::global_async([cmd, args, done, text, weak] {
            if (cmd == "work") return done(CommandResult::success(args["i"]));
            if (cmd == "blob" && bool_arg(args, "fail").value_or(false)) {
              return done(CommandResult::failure(text));
            }
            if (cmd == "blob") return done(CommandResult::success(json{{"text", text}, {"n", 1}}));
            if (auto b = weak.lock()) b->emit("shout", json{{"text", text}});
            done(CommandResult::success());
          });
          return true;
        });
  }

  // Lower than the shell's own, so the bytes path is exercised with modest values.
  static constexpr size_t kBytesThreshold = 64 * 1024;
  TempHome home_;
  PageFolder dist_{"<!doctype html><title>t</title><div id=root></div>"};
  HostedPage page_{dist_.path()};
  Completion held_;
};

TEST_F(PageTransport, ResultsFailuresAndEventsSettleTheSameOnBothSidesOfTheThreshold) {
  page_.host().bridge()->set_value_bytes_for_testing(kBytesThreshold);
  constexpr size_t large_pad = kBytesThreshold / 2;  // long, but still script text
  constexpr size_t bytes_pad = kBytesThreshold * 2;
  static_assert(large_pad == 32768 && bytes_pad == 131072, "the page's pads");
  auto got = page_.call(R"JS(
    const t = window.__TAURI_INTERNALS__;
    const out = {};
    const events = [];
    const eid = await t.invoke('plugin:event|listen',
        { event: 'shout', handler: t.transformCallback((e) => events.push(e)) });
    for (const [name, pad] of [['small', 0], ['large', 32768], ['bytes', 131072]]) {
      const ok = await t.invoke('blob', { pad });
      let failed;
      try { await t.invoke('blob', { pad, fail: true }); } catch (e) { failed = e; }
      await t.invoke('shout', { pad });
      // Events are delivered before the answer that follows them.
      out[name] = { ok: ok.text.slice(pad), n: ok.n, okLength: ok.text.length,
                    failed: failed.slice(pad), event: events[events.length - 1].payload.text.slice(pad) };
    }
    out.heard = [events.length, events[0].event, events[0].id === eid];
    return out;)JS");
  ASSERT_TRUE(got.has_value());
  json r = json::parse(*got);
  ASSERT_TRUE(r.is_object()) << *got;
  for (const char* side : {"small", "large", "bytes"}) {
    EXPECT_EQ(members(r[side], {"ok", "n", "failed", "event"}),
              (json{{"ok", kSeen}, {"n", 1}, {"failed", kSeen}, {"event", kSeen}}))
        << side;
  }
  EXPECT_EQ(r["heard"], json::array({3, "shout", true}));
  EXPECT_EQ(r["large"]["okLength"].get<size_t>(), large_pad + r["small"]["okLength"].get<size_t>());
  EXPECT_EQ(r["bytes"]["okLength"].get<size_t>(), bytes_pad + r["small"]["okLength"].get<size_t>());
}

TEST_F(PageTransport, BatchedScriptsKeepTheirOrderAndAThrowingListenerStopsOnlyItsOwnEvent) {
  page_.host().bridge()->set_value_bytes_for_testing(kBytesThreshold);
  ASSERT_EQ(page_.call(R"JS(
    window.seen = [];
    const t = window.__TAURI_INTERNALS__;
    await t.event.listen('boom', () => { throw new Error('listener fault'); });
    await t.event.listen('boom', () => window.seen.push('after-boom'));
    await t.event.listen('tick', (e) => window.seen.push('tick' + String(e.payload).trim()));
    t.invoke('hold').then((v) => window.seen.push(v));
    return true;)JS"),
            "true");
  ASSERT_TRUE(run_until([&] { return held_ != nullptr; }));
  // Everything from one thread in one turn: batches, with a value read as bytes in between.
  auto& bridge = *page_.host().bridge();
  std::thread([&] {
    bridge.emit("tick", 1);
    bridge.emit("boom", nullptr);
    held_(CommandResult::success("answer"));
    bridge.emit("tick", 2);
    bridge.emit("tick", "3" + std::string(kBytesThreshold + 10, ' '));
    bridge.emit("tick", 4);
  }).join();
  std::optional<std::string> seen;
  ASSERT_TRUE(run_until([&] {
    seen = page_.call("return window.seen;");
    return seen && seen->find("tick4") != std::string::npos;
  })) << seen.value_or("");
  // The answer's continuation runs before the event that followed it, as with one evaluation
  // per script; the throwing listener stops only the rest of its own event.
  EXPECT_EQ(json::parse(*seen), json::parse(R"(["tick1","answer","tick2","tick3","tick4"])"));
}

TEST_F(PageTransport, AThousandConcurrentInvokesEachSettleOnceWithTheirOwnValue) {
  auto got = page_.call(R"JS(
    const t = window.__TAURI_INTERNALS__;
    const calls = [];
    const original = window.__VESSA_RESOLVE;
    window.answers = 0;
    window.__VESSA_RESOLVE = (...a) => { window.answers++; return original(...a); };
    for (let i = 0; i < 1000; i++) calls.push(t.invoke('work', { i }));
    const values = await Promise.all(calls);
    const wrong = values.filter((v, i) => v !== i).length;
    // Stray answers for settled or unknown ids change nothing.
    window.__VESSA_RESOLVE(1, false, 'late');
    window.__VESSA_RESOLVE(5000, true, 'unknown');
    return { wrong, answers: window.answers };)JS");
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(json::parse(*got), (json{{"wrong", 0}, {"answers", 1002}}));
}

TEST_F(PageTransport, MessagesPostedAsTextFollowTheObjectRules) {
  // Posted directly, past the shim: text and object forms, a string reqId in each, then a
  // valid text message last. A direct post leaves after what the shim had queued, and the shim
  // posts with its own JSON.stringify. Messages are handled in order, so once "done" (queued
  // last) is stored the others have been seen.
  auto got = page_.call(R"JS(
    const t = window.__TAURI_INTERNALS__;
    const h = window.webkit.messageHandlers.vessa;
    const set = (reqId, key, value = 1) => ({ type: 'invoke', reqId, cmd: 'config_set', args: { key, value } });
    const saved = JSON.stringify;
    JSON.stringify = () => 'garbage';
    t.invoke('config_set', { key: 'stringified', value: 1 });
    JSON.stringify = saved;
    t.invoke('config_set', { key: 'order', value: 'queued' });
    h.postMessage(set(6, 'order', 'posted'));
    h.postMessage(JSON.stringify(set('1', 'textStringId')));
    h.postMessage(set('2', 'objectStringId'));
    h.postMessage(JSON.stringify(JSON.stringify(set(3, 'doubleEncoded'))));
    h.postMessage(set(4, 'object'));
    h.postMessage(JSON.stringify(set(5, 'last')));
    t.invoke('config_set', { key: 'done', value: 1 });
    return true;)JS");
  ASSERT_EQ(got, "true");
  ASSERT_TRUE(run_until([] { return !config_value("done").is_null(); }));
  EXPECT_EQ(members(config_value(), {"last", "stringified", "order", "object", "textStringId",
                                     "objectStringId", "doubleEncoded"}),
            json::parse(R"({"last": 1, "stringified": 1, "order": "posted", "object": 1,
                            "textStringId": null, "objectStringId": null, "doubleEncoded": null})"));
}

// Byte `i` of a test buffer; an odd factor makes every value 0-255 appear in any 256 bytes.
std::string byte_pattern(size_t size, unsigned factor) {
  std::string out(size, '\0');
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>((i * factor + 3) & 0xFF);
  return out;
}

// Each size both ways (0, 1 and 2 bytes past whole base64 groups), on each side of 64 KiB and
// at 10 MB: the page's bytes and headers reach the command as sent, and the command's bytes
// reach the page as an ArrayBuffer. The last call is a JSON argument large enough for the byte
// channel.
TEST_F(PageTransport, BytesHeadersAndLargeArgumentsCrossIntactBothWays) {
  std::map<size_t, json> seen;  // by size: whether the body was the pattern, headers, arguments
  auto registry = page_.host().bridge()->registry();
  registry->set_family_override_for_testing(
      "handleNative", [&](const std::string& cmd, const json& args, const Completion& done) {
        if (cmd != "bytes_echo") return false;
        const commands::CommandRequest* request = registry->request();
        const size_t size = std::stoul(request->headers.at("x-size"));
        seen[size] = {request->body && request->body.view() == byte_pattern(size, 7),
                      request->headers, args};
        dispatch::global_async(
            [done, size] { done(CommandResult::bytes(commands::Bytes(byte_pattern(size, 13)))); });
        return true;
      });
  const std::vector<size_t> sizes = {0, 1, 2, 65535, 65536, 10u << 20};
  auto got = page_.call(R"JS(
    const t = window.__TAURI_INTERNALS__;
    const pattern = (n, f) => { const b = new Uint8Array(n); for (let i = 0; i < n; i++) b[i] = (i * f + 3) & 255; return b; };
    const same = (a, b) => a.length === b.length && a.every((v, i) => v === b[i]);
    const out = {};
    for (const n of [0, 1, 2, 65535, 65536, 10 * 1024 * 1024]) {
      // A Uint8Array looking into the middle of a larger buffer, and a bare ArrayBuffer.
      const whole = new Uint8Array(n + 8);
      whole.set(pattern(n, 7), 4);
      const body = n % 2 ? whole.subarray(4, 4 + n) : pattern(n, 7).buffer;
      const headers = new Headers({ 'X-Size': String(n), 'X-Note': ' caf\u00e9? a;b=c ' });
      const answer = await t.invoke('bytes_echo', body, { headers });
      out[n] = answer instanceof ArrayBuffer && same(new Uint8Array(answer), pattern(n, 13));
    }
    const text = 'q"\\\n\u2028\ud83d\ude00'.repeat(30000);
    await t.invoke('bytes_echo', { text }, { headers: [['X-Size', '7'], ['Content-Type', 'text/plain']] });
    return out;)JS",
                        120000);
  ASSERT_TRUE(got.has_value());
  ASSERT_NE(got->rfind("ERROR", 0), 0u) << *got;
  json answers = json::parse(*got);
  for (size_t n : sizes) {
    SCOPED_TRACE(n);
    EXPECT_EQ(answers[std::to_string(n)], true) << "bytes to the page";
    EXPECT_EQ(seen[n], json({true,
                             {{"x-size", std::to_string(n)}, {"x-note", "caf\xC3\xA9? a;b=c"}},
                             json::object()}))
        << "bytes and headers from the page";
  }
  std::string text;
  for (int i = 0; i < 30000; ++i) text += "q\"\\\n\xE2\x80\xA8\xF0\x9F\x98\x80";
  EXPECT_EQ(seen[7],
            json({false, {{"x-size", "7"}, {"content-type", "text/plain"}}, {{"text", text}}}));
}

}  // namespace
}  // namespace vessa::testing
