// The Skyvern settings-file parser and the installers' line stream.
#include "commands/skyvern/skyvern_text.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "commands/skyvern/skyvern_docker.hpp"
#include "fixtures/temp_home.hpp"

namespace vessa::commands::skyvern {
namespace {

TEST(SkyvernEnvFile, ParsesOnlyPlainKeyValueLines) {
  // The file's text; the port read from it; whether it holds an API key.
  const std::tuple<std::string, std::optional<int>, bool> cases[] = {
      {"SKYVERN_PORT=8000\nSKYVERN_API_KEY=abc\n", 8000, true},
      {" \tSKYVERN_PORT = 8001\t\n", 8001, false},
      {"SKYVERN_PORT=8000\nSKYVERN_PORT=abc\n", 8000, false},  // a later invalid port is ignored
      {"SKYVERN_PORT=8000\nSKYVERN_PORT=9000", 9000, false},
      {"SKYVERN_PORT=+8080\n", 8080, false},
      {"SKYVERN_PORT=65535\n", 65535, false},
      {"SKYVERN_PORT=0\n", 0, false},
      {"SKYVERN_PORT=65536\n", std::nullopt, false},
      {"SKYVERN_PORT=18446744073709559000\n", std::nullopt, false},  // no overflow
      {"SKYVERN_PORT=80 # web\n", std::nullopt, false},
      {"SKYVERN_PORT=\"8000\"\nexport SKYVERN_PORT=8000\nskyvern_port=8000\n", std::nullopt, false},
      {"SKYVERN_API_KEY=\"\"\n", std::nullopt, true},  // a quoted empty key counts
      {"  # SKYVERN_PORT=8000\n#SKYVERN_API_KEY=x\nSKYVERN_API_KEY\n", std::nullopt, false},
      {"SKYVERN_API_KEY=abc\nSKYVERN_API_KEY=\n", std::nullopt, false},  // cleared again
      {"SKYVERN_API_KEY=a=b=c\nSKYVERN_PORT==8000\n", std::nullopt, true},
      {"\r\n\r\nSKYVERN_PORT=8002\r\n\r\nSKYVERN_API_KEY=k\r\n", 8002, true},
      {"SKYVERN_PORT=8003\rSKYVERN_API_KEY=k", 8003, true},            // lone CR
      {"SKYVERN_PORT=8004\xE2\x80\xA8SKYVERN_API_KEY=k", 8004, true},  // U+2028
  };
  for (const auto& [text, port, has_key] : cases) {
    SCOPED_TRACE(text);
    EnvSettings s = skyvern_parse_env_text(text);
    EXPECT_EQ(s.endpoint,
              port ? std::optional("http://localhost:" + std::to_string(*port)) : std::nullopt);
    EXPECT_EQ(s.hasApiKey, has_key);
  }
}

TEST(SkyvernEnvFile, MissingOrNonUtf8FileGivesNothing) {
  testing::TempHome home;
  EXPECT_EQ(skyvernEnvFilePath(), home.path() + "/.vessa-skyvern/skyvern.env");
  EXPECT_FALSE(skyvernParseEnvFile().endpoint);
  for (const auto& [key, valid] : {std::pair{"\xff", false}, std::pair{"\xc3\xa9", true}}) {
    testing::write_file(skyvernEnvFilePath(),
                        std::string("SKYVERN_PORT=8000\nSKYVERN_API_KEY=") + key + "\n");
    EnvSettings s = skyvernParseEnvFile();
    EXPECT_EQ(s.endpoint.has_value(), valid);
    EXPECT_EQ(s.hasApiKey, valid);
  }
  // An empty HOME falls back to the password database.
  ::setenv("HOME", "", 1);
  std::string fallback = skyvernHomeDir();
  EXPECT_NE(fallback, home.path());
  EXPECT_EQ(fallback.substr(0, 1), "/");
}

std::vector<std::string> stream(const std::vector<std::string>& chunks) {
  std::vector<std::string> lines;
  ScriptLineStream s([&](const std::string& l) { lines.push_back(l); });
  for (const auto& c : chunks) s.feed(c);
  s.finish();
  return lines;
}

TEST(SkyvernLineStream, SplitsAtLineFeedsOnly) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"a\n\nb\n", {"a", "", "b"}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\r\r\n", {"a\r"}},  // only one CR dropped
      {"10%\r20%\r30%\n", {"10%\r20%\r30%"}},
      {"a\nlast\r", {"a", "last\r"}},
      {"", {}},
      {"ok \xff!\n", {"ok \xEF\xBF\xBD!"}},
      {"caf\xC3\xA9 \xF0\x9F\x90\xB3\n", {"caf\xC3\xA9 \xF0\x9F\x90\xB3"}},
  };
  for (const auto& [bytes, lines] : cases) {
    SCOPED_TRACE(bytes);
    EXPECT_EQ(stream({bytes}), lines);
    // Chunk boundaries anywhere (inside CRLF, inside a UTF-8 sequence) change nothing.
    std::vector<std::string> one_by_one;
    for (char ch : bytes) one_by_one.emplace_back(1, ch);
    EXPECT_EQ(stream(one_by_one), lines);
  }
}

}  // namespace
}  // namespace vessa::commands::skyvern
