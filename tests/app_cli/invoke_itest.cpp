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

// `vessa --invoke ARGS...`; `prefix` runs before the executable (a shell that limits the child).
proc::Output invoke(const std::vector<std::string>& args, std::vector<std::string> prefix = {}) {
  prefix.insert(prefix.end(), {VESSA_EXE, "--invoke"});
  prefix.insert(prefix.end(), args.begin(), args.end());
  proc::Options o;
  o.argv = prefix;
  proc::RunOptions limit;
  limit.timeout = std::chrono::seconds(30);
  auto r = proc::run(o, limit);
  EXPECT_TRUE(r.has_value());
  return r ? *r : proc::Output{};
}

// The outcome line of a command that succeeded with `value` (JSON text).
std::string ok_line(const std::string& value) { return "{\"ok\":true,\"value\":" + value + "}\n"; }

mode_t mode_of(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

std::string stores_dir() { return (executor::appDataDir() / "stores").string(); }

// What each run prints on standard output, its exit status, and what its standard error holds.
// The configuration runs share one temporary home; the settings and stores they leave are
// private whatever the umask.
TEST(InvokeRunner, OutcomeLinesStatusesUsageErrorsAndPrivateFiles) {
  vessa::testing::TempHome home;
  const mode_t old_umask = ::umask(022);
  struct Case {
    int status;
    std::string out;
    std::string err;  // a part of standard error
    std::vector<std::string> args;
  };
  const std::string deep = std::string(60000, '[') + std::string(60000, ']');
  const Case cases[] = {
      {0, ok_line(R"({"ok":true,"shell":"swift"})"), "", {"__ping"}},
      {0, ok_line("null"), "", {"config_set", R"({"key":"theme","value":{"dark":true}})"}},
      {0, ok_line(R"({"dark":true})"), "", {"config_get", R"({"key":"theme"})"}},
      {0, ok_line("null"), "", {"plugin:store|save", R"({"path":"x.json"})"}},
      // Failures exit with 1; logs go to standard error.
      {1,
       R"({"ok":false,"error":"command not implemented in the Swift shell yet: no_such_command"})"
       "\n",
       "[VessaMac] command not implemented: no_such_command",
       {"no_such_command", "{}"}},
      {2, "", "missing command name", {}},
      {2, "", "ARGS_JSON is not valid JSON", {"__ping", "{not json"}},
      {2, "", "ARGS_JSON must be a JSON object", {"__ping", "[1,2]"}},
      {2, "", "unexpected argument after ARGS_JSON", {"__ping", "{}", "extra"}},
      // 60,000 levels used to be written out as a 7.2 GB pretty-printed file.
      {2,
       "",
       "ARGS_JSON nests deeper than 512 levels",
       {"config_set", "{\"key\":\"k\",\"value\":" + deep + "}"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "" : c.args.back().substr(0, 60));
    auto r = invoke(c.args);
    EXPECT_EQ(r.status.code, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
  ::umask(old_umask);
  const std::pair<std::string, mode_t> modes[] = {
      {home.path() + "/.vessa", 0700},
      {home.path() + "/.vessa/config.json", 0600},
      {stores_dir(), 0700},
      {stores_dir() + "/x.json", 0600},
  };
  for (const auto& [path, mode] : modes) EXPECT_EQ(mode_of(path), mode) << path;
}

// Ten parallel config_set runs used to keep four keys.
TEST(InvokeRunner, ParallelConfigSetsKeepEveryKey) {
  vessa::testing::TempHome home;
  constexpr int kRuns = 10;
  std::vector<std::thread> runs;
  std::vector<std::string> outs(kRuns);
  json expected = json::object();
  for (int i = 0; i < kRuns; ++i) {
    const json args = {{"key", "k" + std::to_string(i)}, {"value", i}};
    expected[args["key"].get<std::string>()] = i;
    runs.emplace_back([i, args, &outs] {
      outs[static_cast<size_t>(i)] = invoke({"config_set", args.dump()}).out;
    });
  }
  for (auto& t : runs) t.join();
  for (const auto& out : outs) EXPECT_EQ(out, ok_line("null"));
  auto config = parse_json(vessa::testing::read_file(home.path() + "/.vessa/config.json"));
  ASSERT_TRUE(config.has_value());
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
    auto r = invoke({c.cmd, c.args}, limited);
    EXPECT_EQ(r.status.code, 1) << c.cmd;
    auto outcome = parse_json(r.out);
    ASSERT_TRUE(outcome.has_value()) << r.out << r.err;
    EXPECT_EQ((*outcome)["error"], c.error);
    EXPECT_EQ(vessa::testing::read_file(c.file), c.content);
  }
}

}  // namespace
}  // namespace vessa
