// `vessa --invoke`: the headless command runner as a user runs it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "executor/sidecar_location.hpp"
#include "fixtures/temp_home.hpp"
#include "support/json.hpp"
#include "support/subprocess.hpp"

namespace vessa {
namespace {

// `prefix` runs before the executable (a shell that limits the child, say).
proc::Output invoke(const std::vector<std::string>& args,
                    const std::vector<std::string>& prefix = {}) {
  proc::Options o;
  o.argv = prefix;
  o.argv.push_back(VESSA_EXE);
  o.argv.insert(o.argv.end(), args.begin(), args.end());
  proc::RunOptions ro;
  ro.timeout = std::chrono::seconds(30);
  auto r = proc::run(o, ro);
  EXPECT_TRUE(r.has_value());
  return r ? *r : proc::Output{};
}

TEST(InvokeRunner, PingPrintsTheOutcomeLine) {
  auto r = invoke({"--invoke", "__ping"});
  EXPECT_EQ(r.out, "{\"ok\":true,\"value\":{\"ok\":true,\"shell\":\"swift\"}}\n");
  EXPECT_EQ(r.status.code, 0);
}

TEST(InvokeRunner, ConfigCommandsUseTheTemporaryHome) {
  vessa::testing::TempHome home;
  auto set = invoke({"--invoke", "config_set", R"({"key":"theme","value":{"dark":true}})"});
  EXPECT_EQ(set.out, "{\"ok\":true,\"value\":null}\n");
  auto get = invoke({"--invoke", "config_get", R"({"key":"theme"})"});
  EXPECT_EQ(get.out, "{\"ok\":true,\"value\":{\"dark\":true}}\n");
  EXPECT_TRUE(std::filesystem::exists(home.path() + "/.vessa/config.json"));
}

TEST(InvokeRunner, BadUsageExitsWithTwoAndExplains) {
  struct Case {
    std::vector<std::string> args;
    std::string why;
  };
  const Case cases[] = {
      {{"--invoke"}, "missing command name"},
      {{"--invoke", "__ping", "{not json"}, "ARGS_JSON is not valid JSON"},
      {{"--invoke", "__ping", "[1,2]"}, "ARGS_JSON must be a JSON object"},
      {{"--invoke", "__ping", "\"text\""}, "ARGS_JSON must be a JSON object"},
      {{"--invoke", "__ping", "{}", "extra"}, "unexpected argument after ARGS_JSON"},
      // 60,000 levels used to be written out as a 7.2 GB pretty-printed file.
      {{"--invoke", "config_set",
        "{\"key\":\"k\",\"value\":" + std::string(60000, '[') + std::string(60000, ']') + "}"},
       "ARGS_JSON nests deeper than 512 levels"},
  };
  for (const auto& c : cases) {
    auto r = invoke(c.args);
    EXPECT_EQ(r.status.code, 2) << c.why;
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(r.err.find(c.why), std::string::npos) << r.err;
  }
}

TEST(InvokeRunner, FailuresExitWithOneAndLogsGoToStandardError) {
  auto r = invoke({"--invoke", "no_such_command", "{}"});
  EXPECT_EQ(r.out.rfind("{\"ok\":false,\"error\":", 0), 0u) << r.out;
  EXPECT_EQ(r.status.code, 1);
  EXPECT_NE(r.err.find("[VessaMac] command not implemented: no_such_command"), std::string::npos);
}

mode_t mode_of(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

std::string stores_dir() { return (launch::appDataDir() / "stores").string(); }

TEST(InvokeRunner, SettingsAndStoresArePrivateWhateverTheUmask) {
  vessa::testing::TempHome home;
  const mode_t old_umask = ::umask(022);
  EXPECT_EQ(invoke({"--invoke", "config_set", R"({"key":"executorSecret","value":"s"})"}).out,
            "{\"ok\":true,\"value\":null}\n");
  EXPECT_EQ(invoke({"--invoke", "plugin:store|save", R"({"path":"x.json"})"}).out,
            "{\"ok\":true,\"value\":null}\n");
  ::umask(old_umask);
  const std::pair<std::string, mode_t> cases[] = {
      {home.path() + "/.vessa", 0700},
      {home.path() + "/.vessa/config.json", 0600},
      {stores_dir(), 0700},
      {stores_dir() + "/x.json", 0600},
  };
  for (const auto& [path, mode] : cases) EXPECT_EQ(mode_of(path), mode) << path;
}

// Ten parallel config_set runs used to keep four keys.
TEST(InvokeRunner, ParallelConfigSetsKeepEveryKey) {
  vessa::testing::TempHome home;
  constexpr int kRuns = 10;
  std::vector<std::thread> runs;
  std::vector<std::string> outs(kRuns);
  for (int i = 0; i < kRuns; ++i) {
    runs.emplace_back([i, &outs] {
      outs[static_cast<size_t>(i)] =
          invoke({"--invoke", "config_set",
                  "{\"key\":\"k" + std::to_string(i) + "\",\"value\":" + std::to_string(i) + "}"})
              .out;
    });
  }
  for (auto& t : runs) t.join();
  for (const auto& out : outs) EXPECT_EQ(out, "{\"ok\":true,\"value\":null}\n");
  auto config = parse_json(vessa::testing::read_file(home.path() + "/.vessa/config.json"));
  ASSERT_TRUE(config.has_value());
  json expected = json::object();
  for (int i = 0; i < kRuns; ++i) expected["k" + std::to_string(i)] = i;
  EXPECT_EQ(*config, expected);
}

// On a full disk, writes used to answer ok without reaching the file. A file-size limit (with
// SIGXFSZ ignored) makes every write past 20 KB fail the way a full disk does.
TEST(InvokeRunner, WritesThatCannotLandFailWithTheReason) {
  vessa::testing::TempHome home;
  const std::vector<std::string> limited = {"/bin/sh", "-c",
                                            "ulimit -f 40; trap '' XFSZ; exec \"$0\" \"$@\""};
  const std::string big(100000, 'x');
  const std::string config = home.path() + "/.vessa/config.json";
  vessa::testing::write_file(config, R"({"keep": 1})");
  const std::string store = stores_dir() + "/big.json";
  const std::string store_text = "{\"blob\": \"" + big + "\"}";
  vessa::testing::write_file(store, store_text);
  struct Case {
    std::string cmd;
    std::string args;
    std::string error;
    std::string file;
    std::string content;
  };
  const Case cases[] = {
      {"config_set", "{\"key\":\"big\",\"value\":\"" + big + "\"}",
       "config_set: could not write " + config + ": write: File too large", config,
       R"({"keep": 1})"},
      {"plugin:store|save", R"({"path":"big.json"})",
       "store save: could not write " + store + ": write: File too large", store, store_text},
  };
  for (const auto& c : cases) {
    auto r = invoke({"--invoke", c.cmd, c.args}, limited);
    EXPECT_EQ(r.status.code, 1) << c.cmd;
    auto outcome = parse_json(r.out);
    ASSERT_TRUE(outcome.has_value()) << r.out << r.err;
    EXPECT_EQ((*outcome)["error"], c.error);
    EXPECT_EQ(vessa::testing::read_file(c.file), c.content);
  }
}

}  // namespace
}  // namespace vessa
