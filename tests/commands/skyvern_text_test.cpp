// The Skyvern settings-file parser and the installers' line stream.
#include "commands/skyvern/skyvern_text.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "commands/skyvern/skyvern_docker.hpp"
#include "fixtures/temp_home.hpp"

namespace vessa::skyvern {
namespace {

struct EnvCase {
  const char* name;
  std::string text;
  std::optional<std::string> endpoint;
  bool has_key;
};

TEST(SkyvernEnvFile, ParsesOnlyPlainKeyValueLines) {
  const std::vector<EnvCase> cases = {
      {"plain", "SKYVERN_PORT=8000\nSKYVERN_API_KEY=abc\n", "http://localhost:8000", true},
      {"spaces and tabs around", " \tSKYVERN_PORT = 8001\t\n", "http://localhost:8001", false},
      {"later invalid port keeps earlier", "SKYVERN_PORT=8000\nSKYVERN_PORT=abc\n",
       "http://localhost:8000", false},
      {"later valid port wins", "SKYVERN_PORT=8000\nSKYVERN_PORT=9000", "http://localhost:9000",
       false},
      {"too large", "SKYVERN_PORT=70000\n", std::nullopt, false},
      {"negative", "SKYVERN_PORT=-1\n", std::nullopt, false},
      {"plus sign", "SKYVERN_PORT=+8080\n", "http://localhost:8080", false},
      {"upper bound", "SKYVERN_PORT=65535\n", "http://localhost:65535", false},
      {"zero", "SKYVERN_PORT=0\n", "http://localhost:0", false},
      {"huge number does not overflow", "SKYVERN_PORT=18446744073709559000\n", std::nullopt, false},
      {"sign alone", "SKYVERN_PORT=+\n", std::nullopt, false},
      {"trailing garbage", "SKYVERN_PORT=80 # web\n", std::nullopt, false},
      {"export prefix is part of the key", "export SKYVERN_PORT=8000\n", std::nullopt, false},
      {"quoted port", "SKYVERN_PORT=\"8000\"\n", std::nullopt, false},
      {"quoted empty key counts", "SKYVERN_API_KEY=\"\"\n", std::nullopt, true},
      {"comment holding a setting", "  # SKYVERN_PORT=8000\n#SKYVERN_API_KEY=x\n", std::nullopt,
       false},
      {"empty key clears earlier", "SKYVERN_API_KEY=abc\nSKYVERN_API_KEY=\n", std::nullopt, false},
      {"key is case-sensitive", "skyvern_port=8000\nSkyvern_Api_Key=x\n", std::nullopt, false},
      {"equals inside value", "SKYVERN_API_KEY=a=b=c\nSKYVERN_PORT==8000\n", std::nullopt, true},
      {"no equals sign", "SKYVERN_PORT 8000\nSKYVERN_API_KEY\n", std::nullopt, false},
      {"blank lines and CRLF", "\r\n\r\nSKYVERN_PORT=8002\r\n\r\nSKYVERN_API_KEY=k\r\n",
       "http://localhost:8002", true},
      {"lone CR separates lines", "SKYVERN_PORT=8003\rSKYVERN_API_KEY=k", "http://localhost:8003",
       true},
      {"unicode line separator", "SKYVERN_PORT=8004\xE2\x80\xA8SKYVERN_API_KEY=k",
       "http://localhost:8004", true},
      {"empty file", "", std::nullopt, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EnvSettings s = skyvernParseEnvText(c.text);
    EXPECT_EQ(s.endpoint, c.endpoint);
    EXPECT_EQ(s.hasApiKey, c.has_key);
  }
}

TEST(SkyvernEnvFile, MissingOrNonUtf8FileGivesNothing) {
  testing::TempHome home;
  EnvSettings missing = skyvernParseEnvFile();
  EXPECT_FALSE(missing.endpoint);
  EXPECT_FALSE(missing.hasApiKey);

  testing::write_file(home.path() + "/.vessa-skyvern/skyvern.env",
                      "SKYVERN_PORT=8000\nSKYVERN_API_KEY=\xff\n");
  EnvSettings bad = skyvernParseEnvFile();
  EXPECT_FALSE(bad.endpoint);
  EXPECT_FALSE(bad.hasApiKey);

  testing::write_file(home.path() + "/.vessa-skyvern/skyvern.env",
                      "SKYVERN_PORT=8000\nSKYVERN_API_KEY=\xc3\xa9\n");
  EnvSettings good = skyvernParseEnvFile();
  EXPECT_EQ(good.endpoint, "http://localhost:8000");
  EXPECT_TRUE(good.hasApiKey);
}

TEST(SkyvernHome, EmptyHomeFallsBackToThePasswordDatabase) {
  testing::TempHome home;
  EXPECT_EQ(skyvernEnvFilePath(), home.path() + "/.vessa-skyvern/skyvern.env");
  ::setenv("HOME", "", 1);
  std::string fallback = skyvernHomeDir();
  EXPECT_FALSE(fallback.empty());
  EXPECT_NE(fallback, home.path());
  EXPECT_EQ(fallback.front(), '/');
}

std::vector<std::string> stream(const std::vector<std::string>& chunks) {
  std::vector<std::string> lines;
  ScriptLineStream s([&](const std::string& l) { lines.push_back(l); });
  for (const auto& c : chunks) s.feed(c);
  s.finish();
  return lines;
}

TEST(SkyvernLineStream, SplitsAtLineFeedsOnly) {
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"empty lines kept", "a\n\nb\n", {"a", "", "b"}},
      {"CRLF loses its CR", "a\r\nb\r\n", {"a", "b"}},
      {"only one CR dropped", "a\r\r\n", {"a\r"}},
      {"progress redraws stay in one line", "10%\r20%\r30%\n", {"10%\r20%\r30%"}},
      {"final unterminated line kept with CR", "a\nlast\r", {"a", "last\r"}},
      {"nothing", "", {}},
      {"invalid byte replaced", "ok \xff!\n", {"ok \xEF\xBF\xBD!"}},
      {"truncated sequence at line end", "\xE2\x82\n", {"\xEF\xBF\xBD"}},
      {"valid multibyte kept", "caf\xC3\xA9 \xF0\x9F\x90\xB3\n", {"caf\xC3\xA9 \xF0\x9F\x90\xB3"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(stream({c.bytes}), c.lines);
    // Chunk boundaries anywhere (inside CRLF, inside a UTF-8 sequence) change nothing.
    std::vector<std::string> bytes;
    for (char ch : c.bytes) bytes.emplace_back(1, ch);
    EXPECT_EQ(stream(bytes), c.lines);
  }
}

}  // namespace
}  // namespace vessa::skyvern
