// The JSON encoder and the parser that never throws (the typed argument readers are exercised
// by every family's argument checks).
#include "support/json.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>

#include "bridge/js.hpp"
#include "support/utf8.hpp"

namespace vessa {
namespace {

TEST(JsonEncode, ValuesBecomeCompactLiterals) {
  struct Case {
    json value;
    std::string expected;
  };
  const Case cases[] = {
      {nullptr, "null"},
      {"abc", "\"abc\""},
      {false, "false"},
      {json::object(), "{}"},
      {std::numeric_limits<int64_t>::min(), "-9223372036854775808"},
      {std::numeric_limits<uint64_t>::max(), "18446744073709551615"},
      {0.1, "0.1"},
      {-2.5e-7, "-2.5e-07"},
      {std::nan(""), "null"},
      {std::numeric_limits<double>::infinity(), "null"},
      {json{{"b", 1}, {"a", json::array({1, "x", nullptr})}}, R"({"a":[1,"x",null],"b":1})"},
      {json::binary({1, 2, 3}), "null"},
  };
  for (const auto& c : cases) EXPECT_EQ(bridge::js::encode(c.value), c.expected) << c.value.dump();
}

TEST(JsonEncode, StringsAreEscapedForJavaScriptSource) {
  struct Case {
    std::string in;
    std::string expected;
  };
  const Case cases[] = {
      {"say \"hi\" it's a\\b\nc", R"("say \"hi\" it's a\\b\nc")"},
      {std::string("nul\0x", 5), R"("nul\u0000x")"},
      {"\x01\x1f", R"("\u0001\u001f")"},
      {"</script><script>", R"("</script><script>")"},
      {"line\u2028sep\u2029end", R"("line\u2028sep\u2029end")"},
      {"caf\xC3\xA9 \xF0\x9F\x98\x80", "\"caf\xC3\xA9 \xF0\x9F\x98\x80\""},
      // Invalid UTF-8 (the replacement rules themselves are tested with utf8_lossy).
      {"a\x80z", "\"a\xEF\xBF\xBDz\""},
      {"\xE2\x82", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
  };
  for (const auto& c : cases) EXPECT_EQ(bridge::js::encode(json(c.in)), c.expected) << c.in;
}

// The escaper skips clean text sixteen bytes at a time: every special byte must still be caught
// at every position of a block, next to every other kind.
TEST(JsonEncode, SpecialBytesAreEscapedAtEveryOffset) {
  const std::string specials[] = {"\"",   "\\",   "\n",       std::string(1, '\0'),
                                  "\x1f", "\x7f", "\xC3\xA9", "\xE2\x80\xA8",
                                  "\xFF", " ",    "!",        "#",
                                  "[",    "]"};
  for (const auto& sp : specials) {
    for (size_t at = 0; at < 40; ++at) {
      const std::string text = std::string(at, 'a') + sp + std::string(33, 'b');
      const std::string out = bridge::js::encode(json(text));
      auto back = parse_json(out);
      ASSERT_TRUE(back.has_value()) << out;
      EXPECT_EQ(*back, json(utf8_lossy(text))) << at;
      EXPECT_EQ(out.find('\n'), std::string::npos);
      EXPECT_EQ(out.find("\xE2\x80\xA8"), std::string::npos);
    }
  }
}

TEST(JsonEncode, AsciiFormEscapesEveryNonAsciiCharacter) {
  json v = {{"k\xC3\xA9", "caf\xC3\xA9 \xF0\x9F\x98\x80 \xE2\x80\xA8 \xFF"}};
  std::string s = bridge::js::encode_ascii(v);
  for (unsigned char c : s) EXPECT_LT(c, 0x80);
  EXPECT_EQ(s, R"({"k\u00e9":"caf\u00e9 \ud83d\ude00 \u2028 \ufffd"})");
  // Both forms parse back to the same value.
  EXPECT_EQ(json::parse(s), json::parse(bridge::js::encode(v)));
}

// Outputs large enough to be grown onto huge pages, from sizes the encoder guesses wrong
// (small items first, then large ones) and appended after existing text: the bytes match
// those of the library's own serialiser.
TEST(JsonEncode, LargeOutputsMatchWhateverTheSizeGuess) {
  json records = json::array();
  for (int i = 0; i < 64; ++i) records.push_back(i);
  for (int i = 0; i < 3000; ++i) {
    records.push_back(
        {{"id", i}, {"text", std::string(static_cast<size_t>(i % 7) * 700, 'a') + "\n\""}});
  }
  const json cases[] = {records, json{{"k", std::string(9u << 20, 'x') + "\t"}},
                        json::array({std::string(6u << 20, 'y'), records})};
  for (const json& value : cases) {
    const std::string expected = value.dump();
    ASSERT_GT(expected.size(), 4u << 20);
    EXPECT_EQ(encode_json(value), expected);
    std::string out = "prefix:";
    encode_json_into(out, value);
    EXPECT_EQ(out, "prefix:" + expected);
  }
  // Escapes that take six and twelve bytes for one to four: the output outgrows every guess.
  std::string dense;
  while (dense.size() < (3u << 20)) dense += "\x01\xC3\xA9\xF0\x9F\x98\x80\"";
  const json escaped = json::array({dense, records});
  EXPECT_EQ(bridge::js::encode_ascii(escaped), escaped.dump(-1, ' ', true));
}

std::string nested(const std::string& open, const std::string& close, int depth,
                   const std::string& inner = "1") {
  std::string out;
  for (int i = 0; i < depth; ++i) out += open;
  out += inner;
  for (int i = 0; i < depth; ++i) out += close;
  return out;
}

// Deep input used to overflow the stack in recursive copies and dumps of the parsed value.
TEST(JsonParse, NestingBeyondTheLimitIsRefusedBeforeAnythingIsBuilt) {
  struct Case {
    std::string text;
    std::optional<JsonError> error;
  };
  const Case cases[] = {
      {nested("[", "]", kMaxJsonDepth), std::nullopt},
      {nested("{\"a\":", "}", kMaxJsonDepth), std::nullopt},
      {nested("[", "]", kMaxJsonDepth + 1), JsonError::kTooDeep},
      {nested("{\"a\":", "}", kMaxJsonDepth + 1), JsonError::kTooDeep},
      {"{\"reqId\":1,\"args\":" + nested("[", "]", 300000) + "}", JsonError::kTooDeep},
      {nested("[", "", 300000), JsonError::kTooDeep},            // deep and never closed
      {"[\"" + std::string(300000, '[') + "\"]", std::nullopt},  // brackets inside a string
      {nested("[", "]", 3, "1,"), JsonError::kInvalid},
  };
  for (const auto& c : cases) {
    auto parsed = parse_json_checked(c.text);
    EXPECT_EQ(parsed.has_value(), !c.error) << c.text.substr(0, 40);
    if (c.error && !parsed) {
      EXPECT_EQ(parsed.error(), *c.error) << c.text.substr(0, 40);
    }
  }
}

// Bad input gives no value instead of throwing. JSON.stringify writes half an emoji as a lone
// \udXXX escape; such a message used to be dropped.
TEST(JsonParse, NeverThrowsAndLoneSurrogatesAndBadBytesReadAsReplacementCharacters) {
  const std::string fffd = "\xEF\xBF\xBD";
  struct Case {
    std::string text;
    std::optional<json> value;
  };
  const Case cases[] = {
      {R"(["\ud83d"])", json::array({fffd})},
      {R"(["a\ud83dz","\ude00"])", json::array({"a" + fffd + "z", fffd})},
      {R"(["\ud83d\ud83d\ude00"])", json::array({fffd + "\xF0\x9F\x98\x80"})},
      {R"({"k\udbff":"\"\\ud83d"})", json{{"k" + fffd, "\"\\ud83d"}}},
      {"[\"a\xFFz\",\"\xC3\"]", json::array({"a" + fffd + "z", fffd})},
      {R"(["\ud83d",])", std::nullopt},  // repaired, still not JSON
      {R"(["\uZZZZ"])", std::nullopt},
      {"", std::nullopt},
      {"{", std::nullopt},
      {"\xFF\xFE garbage", std::nullopt},
      {"[1]", json::array({1})},
  };
  for (const auto& c : cases) {
    auto parsed = parse_json(c.text);
    EXPECT_EQ(parsed, c.value) << c.text;
  }
  EXPECT_NE(dump_pretty(json{{"a", "\xFF"}}).find(fffd), std::string::npos);
}

TEST(JsonParse, RequestIdIsFoundByScanningAlone) {
  const std::string deep = nested("[", "]", 300000);
  struct Case {
    std::string text;
    std::optional<json> value;
  };
  const Case cases[] = {
      {"{\"args\":" + deep + ", \"reqId\" : 42}", json(42)},
      {"{\"reqId\":\"r-\\\"7\",\"args\":" + deep + "}", json("r-\"7")},
      {"{\"re\\u0071Id\":9,\"args\":" + nested("[", "", 300000), json(9)},  // never closed
      {"{\"args\":{\"reqId\":1},\"x\":\"\\\"reqId\\\":2\"}", std::nullopt},
      {"{\"args\":[\"reqId\",3]}", std::nullopt},
      {"{\"reqId\":{\"id\":1}}", std::nullopt},
      {"[{\"reqId\":1}]", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(top_level_scalar(c.text, "reqId"), c.value) << c.text.substr(0, 60);
  }
}

}  // namespace
}  // namespace vessa
