// taskwright_exec against a stand-in runtime program: argv and environment, exit codes and
// signals, output caps with floods on both streams, invalid UTF-8 and the time-out.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "commands/taskwright_test_support.hpp"
#include "fixtures/scripts.hpp"

namespace vessa {
namespace {

using testing::TaskwrightEnv;
using testing::write_file;

// Behaves as FAKE_MODE (given through the page's overrides) says.
constexpr const char* kFakeRadaro = R"SH(#!/bin/bash
case "$FAKE_MODE" in
  argv) printf '<%s>\n' "$@" ;;
  env)
    case ":$PATH:" in *":$HOME/.bun/bin:"*) bun=yes ;; *) bun=no ;; esac
    printf 'RADARO_HOME=%s\nPATH_HAS_BUN=%s\nX=%s\n' "$RADARO_HOME" "$bun" "${X-unset}"
    echo "stdin=$(wc -c)" ;;
  flood) exec "$CHILD" flood "$BYTES" ;;
  exit) echo out; echo err >&2; exit 2 ;;
  signal) echo partial; kill -9 $$ ;;
  sleep) echo early; sleep 60 & echo $! > "$HOME/radaro-child.pid"; wait ;;
  invalid) printf 'a\xffb\xe2\x82'; printf '\xc0z' >&2 ;;
  *) echo "unknown mode" >&2; exit 64 ;;
esac
)SH";

struct ExecEnv : TaskwrightEnv {
  ExecEnv() { write_file(tw_home() + "/bin/radaro", kFakeRadaro, 0755); }
  json exec(std::vector<std::string> args, json opts) {
    CommandResult r =
        run("taskwright_exec", {{"args", std::move(args)}, {"opts", std::move(opts)}});
    EXPECT_TRUE(r.ok()) << r.error();
    return r.value();
  }
  static json mode(const std::string& m, json extra = json::object()) {
    extra["FAKE_MODE"] = m;
    return {{"env_overrides", extra}};
  }
};

TEST(TaskwrightExecRun, PassesTheArgumentsAsArgvNeverAsShellText) {
  ExecEnv env;
  json r = env.exec({"config", "show", "; touch $HOME/pwned", "a b"}, ExecEnv::mode("argv"));
  EXPECT_EQ(r["stdout"], "<config>\n<show>\n<; touch $HOME/pwned>\n<a b>\n");
  EXPECT_FALSE(std::filesystem::exists(env.home.path() + "/pwned"));
}

TEST(TaskwrightExecRun, SetsRadaroHomeAndPathThenAppliesOverrides) {
  ExecEnv env;
  json r = env.exec({"memory", "status"}, ExecEnv::mode("env", {{"X", "1"}}));
  EXPECT_EQ(r["stdout"],
            "RADARO_HOME=" + env.tw_home() + "/home\nPATH_HAS_BUN=yes\nX=1\nstdin=0\n");
  // An override may replace RADARO_HOME itself.
  r = env.exec({"memory"}, ExecEnv::mode("env", {{"RADARO_HOME", "/elsewhere"}}));
  EXPECT_EQ(r["stdout"].get<std::string>().rfind("RADARO_HOME=/elsewhere\n", 0), 0U);
}

TEST(TaskwrightExecRun, ReturnsExitCodesSignalsAndRepairedTextAsResults) {
  ExecEnv env;
  struct Case {
    const char* mode;
    std::string out, err;
    json code;
  };
  const Case cases[] = {
      {"exit", "out\n", "err\n", 2},
      {"signal", "partial\n", "", nullptr},
      {"invalid",
       "a\xEF\xBF\xBD"
       "b\xEF\xBF\xBD",
       "\xEF\xBF\xBDz", 0},
  };
  for (const auto& c : cases) {
    json r = env.exec({"update"}, ExecEnv::mode(c.mode));
    EXPECT_EQ(r["stdout"], c.out) << c.mode;
    EXPECT_EQ(r["stderr"], c.err) << c.mode;
    EXPECT_EQ(r["exit_code"], c.code) << c.mode;
    EXPECT_TRUE(r["duration_ms"].is_number_integer());
  }
}

// A child flooding both pipes must neither block nor grow memory past the cap.
TEST(TaskwrightExecRun, CapsEachStreamAtFourMebibytesWhileReadingToTheEnd) {
  ExecEnv env;
  struct Case {
    long bytes;
    size_t kept;
    bool truncated;
  };
  const std::vector<Case> cases = {
      {5L * 1024 * 1024, 4194304, true},
      {4194304, 4194304, true},  // a full buffer counts as truncated
      {4194303, 4194303, false},
  };
  for (const auto& c : cases) {
    json r = env.exec({"update"}, ExecEnv::mode("flood", {{"CHILD", testing::test_child()},
                                                          {"BYTES", std::to_string(c.bytes)}}));
    EXPECT_EQ(r["exit_code"], 0) << c.bytes;
    EXPECT_EQ(r["stdout"].get<std::string>().size(), c.kept) << c.bytes;
    EXPECT_EQ(r["stderr"].get<std::string>().size(), c.kept) << c.bytes;
    EXPECT_EQ(r["truncated"], c.truncated) << c.bytes;
  }
}

TEST(TaskwrightExecRun, KillsARunThatOutlivesItsTimeout) {
  ExecEnv env;
  struct Case {
    json timeout;
    std::string text;
  };
  const std::vector<Case> cases = {{200, "200"}, {-50, "0"}};
  for (const auto& c : cases) {
    json opts = ExecEnv::mode("sleep");
    opts["timeout_ms"] = c.timeout;
    const auto start = std::chrono::steady_clock::now();
    json r = env.exec({"cron", "tick", "--now"}, opts);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(r, (json{{"stdout", ""},
                       {"stderr", "radaro cron tick --now timed out after " + c.text + "ms"},
                       {"exit_code", nullptr},
                       {"duration_ms", r["duration_ms"]},
                       {"truncated", false}}));
    // What radaro started is killed with it (at 0 ms it may not have started anything yet).
    const std::string pid_file = env.home.path() + "/radaro-child.pid";
    const int started = testing::pid_in(pid_file);
    if (c.text == "200") {
      EXPECT_GT(started, 0);
    }
    if (started > 0) {
      EXPECT_TRUE(testing::process_gone(started));
    }
    std::filesystem::remove(pid_file);
  }
}

TEST(TaskwrightExecRun, ReportsAProgramThatCannotStart) {
  ExecEnv env;
  write_file(env.tw_home() + "/bin/radaro", "not executable", 0644);
  CommandResult r = env.run("taskwright_exec", {{"args", {"--version"}}});
  EXPECT_EQ(r.error(), "Failed to spawn radaro: Permission denied");
}

// The real runtime program answers from RADARO_HOME.
TEST(TaskwrightExecRun, RealRadaroAnswersFromItsHome) {
  TaskwrightEnv env;
  std::filesystem::create_directories(env.tw_home() + "/bin");
  std::filesystem::copy_file(std::string(VESSA_BUNDLE) + "/Resources/taskwright/radaro",
                             env.tw_home() + "/bin/radaro");
  const std::string data = env.tw_home() + "/home";
  auto exec = [&](std::vector<std::string> args) {
    return env.run("taskwright_exec", {{"args", std::move(args)}}).value();
  };
  json r = exec({"sessions", "list"});
  EXPECT_EQ(r["stdout"], "No sessions recorded in " + data + "/sessions\n");
  write_file(data + "/sessions/s1.json",
             R"({"id":"s1","title":"First","created_at":"2024-01-01","messages":[1,2]})");
  write_file(data + "/sessions/s2.json", "not json");
  r = exec({"sessions", "list"});
  EXPECT_EQ(r["stdout"], "s1\t2024-01-01\tFirst\ns2\t-\t(unreadable)\n");
  r = exec({"sessions", "--bogus"});
  EXPECT_EQ(r["exit_code"], 2);
  EXPECT_EQ(r["stderr"], "radaro: unknown option '--bogus' for sessions\n");
}

}  // namespace
}  // namespace vessa
