// Taskwright install, reset, uninstall and exec with real installer and runtime processes.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "commands/taskwright/taskwright_install.hpp"
#include "commands/taskwright_test_support.hpp"
#include "fixtures/scripts.hpp"

namespace vessa::commands {
namespace {

using testing::FakeBundle;
using testing::install_lock_free;
using testing::read_file;
using testing::TaskwrightEnv;
using testing::write_file;
using Strings = std::vector<std::string>;
namespace stdfs = std::filesystem;

const std::string kInstalling = "installing|Downloading runtime and running installer\u2026";
const std::string kReady = "ready|Install complete. Taskwright is ready to run.";
const std::string kBusy =
    "An install is already in progress. Wait for it to finish or restart the app.";

TEST(TaskwrightInstall, StreamsBothOutputsWithTheHomeAndTheEnrichedPath) {
  TaskwrightEnv env;
  FakeBundle bundle(env.home_.path(), R"(echo "home=$HOME"
case ":$PATH:" in *":$HOME/.bun/bin:"*) echo "path=enriched" ;; *) echo "path=plain" ;; esac
echo "arg=$0 count=$#"
printf 'oops\n' >&2
printf 'last')");
  EXPECT_EQ(env.run("taskwright_install").value(), "installed");
  Strings lines = env.progress(), out = lines;
  std::erase_if(out, [](const std::string& l) { return l.starts_with("[stderr] "); });
  EXPECT_EQ(out, (Strings{"home=" + env.home_.path(), "path=enriched",
                          "arg=" + bundle.installer() + " count=0", "last"}));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "[stderr] oops"), 1);
  EXPECT_EQ(env.statuses(), (Strings{kInstalling, kReady}));
}

// A failed installer ends in an error status; no installer at all in none. Either frees the lock.
TEST(TaskwrightInstall, ReportsFailedAndMissingInstallers) {
  const std::pair<const char*, std::string> cases[] = {
      {"exit 3", "Installer exited with status Some(3)"},
      {"kill -9 $$", "Installer exited with status None"},
      {nullptr, "install-taskwright.sh not found (looked in resources and ancestor dirs)"},
  };
  for (const auto& [script, message] : cases) {
    SCOPED_TRACE(message);
    TaskwrightEnv env;
    FakeBundle bundle(env.home_.path(), script ? script : "");
    if (!script) stdfs::remove(bundle.installer());
    EXPECT_EQ(env.run("taskwright_install").error(), message);
    EXPECT_EQ(env.statuses(), script ? Strings({kInstalling, "error|" + message}) : Strings());
    EXPECT_TRUE(install_lock_free());
  }
}

TEST(TaskwrightInstall, CleansOnlyStaleInstallsOfOurOwnAndTheOldMarker) {
  const std::pair<Strings, bool> cases[] = {
      {{"bin/radaro", "old.txt"}, true},  // a complete install
      {{".install-incomplete"}, true},
      {{}, true},                                       // an empty home
      {{".git/HEAD", "bin/radaro", "old.txt"}, false},  // a checkout with an install
      {{"old.txt", ".installed-version"}, false},       // foreign files
  };
  // The installer reports what it finds in the runtime home and whether the marker was left.
  const std::string script = R"(T="$HOME/.vessa-taskwright"
[ -e "$HOME/.vessa/taskwright-install-in-progress" ] && echo marker-left
if [ -e "$T" ]; then ls -A "$T" | tr '\n' ' '; echo; else echo absent; fi)";
  for (const auto& [files, cleaned] : cases) {
    SCOPED_TRACE(files.empty() ? "empty" : files[0]);
    TaskwrightEnv env;
    FakeBundle bundle(env.home_.path(), script);
    stdfs::create_directories(env.tw_home());
    write_file(env.marker(), "");
    for (const auto& f : files) write_file(env.tw_home() + "/" + f, "x");
    ASSERT_TRUE(env.run("taskwright_install").ok());
    Strings lines = env.progress();
    if (cleaned) {
      EXPECT_EQ(lines, (Strings{"[vessa] Cleaning stale install at " + env.tw_home() + "\u2026",
                                "absent"}));
    } else {
      ASSERT_EQ(lines.size(), 1U);
      EXPECT_NE(lines[0].find("old.txt"), std::string::npos);
    }
  }
}

// An installer whose grandchild keeps the pipes open must not hang the install.
TEST(TaskwrightInstall, StopsWaitingForOutputAfterTheEndOfFileWait) {
  TaskwrightEnv env;
  testing::PidFileGuard grandchild{env.home_.path() + "/gc.pid"};
  FakeBundle bundle(env.home_.path(), "echo started\nsleep 60 &\necho $! > \"$HOME/gc.pid\"");
  taskwright::set_eof_wait_for_testing(std::chrono::milliseconds(300));
  const auto start = std::chrono::steady_clock::now();
  CommandResult r = env.run("taskwright_install");
  const auto took = std::chrono::steady_clock::now() - start;
  taskwright::set_eof_wait_for_testing(std::nullopt);
  EXPECT_TRUE(r.ok()) << r.error();
  EXPECT_LT(took, std::chrono::seconds(20));
  EXPECT_EQ(env.progress(), (Strings{"started"}));
  EXPECT_EQ(env.statuses(), (Strings{kInstalling, kReady}));
}

TEST(TaskwrightInstall, RefusesASecondInstallAndResetsWhileOneRuns) {
  TaskwrightEnv env;
  const std::string go = env.home_.path() + "/go";
  FakeBundle bundle(env.home_.path(), R"(echo waiting
for i in $(seq 1 400); do [ -e "$HOME/go" ] && break; sleep 0.05; done
echo finished)");
  // Lets the installer finish whatever happens below, so no process outlives the test.
  struct Release {
    std::string path;
    ~Release() { write_file(path, ""); }
  } release{go};
  testing::Pending first;
  env.registry->dispatch("taskwright_install", json::object(), first.completion());
  ASSERT_TRUE(testing::run_until([&] { return !env.progress().empty(); }));

  EXPECT_EQ(env.run("taskwright_install").error(), kBusy);
  EXPECT_EQ(env.run("taskwright_reset").error(),
            "An install is in progress \u2014 reset blocked until it finishes.");
  EXPECT_FALSE(first.done());

  write_file(go, "");
  ASSERT_TRUE(testing::run_until([&] { return first.done(); }, std::chrono::seconds(30)));
  EXPECT_EQ(first.result().value(), "installed");
  EXPECT_EQ(env.progress(), (Strings{"waiting", "finished"}));
  // Released exactly once: held by us now, a new install must still be refused.
  ASSERT_TRUE(TaskwrightInstallLock::tryAcquire());
  EXPECT_EQ(env.run("taskwright_install").error(), kBusy);
  TaskwrightInstallLock::release();
}

TEST(TaskwrightInstall, ShippedScriptInstallsTheRuntimeOffline) {
  TaskwrightEnv env;
  testing::ScopedExecutable built(std::string(VESSA_BUNDLE) + "/bin/vessa");
  // A complete earlier install is cleaned first.
  write_file(env.tw_home() + "/bin/radaro", "old", 0755);
  write_file(env.tw_home() + "/leftover", "x");
  env.ok("taskwright_install");
  Strings lines = env.progress();
  ASSERT_GE(lines.size(), 3U);
  EXPECT_EQ(lines.back(), "[taskwright] Done: Taskwright v0.1.0 is ready");
  EXPECT_FALSE(stdfs::exists(env.tw_home() + "/leftover"));
  EXPECT_EQ(env.statuses(), (Strings{kInstalling, kReady}));
  json status = env.ok("taskwright_status");
  EXPECT_EQ(json({status["version"], status["install_incomplete"]}), json({"v0.1.0", false}));
  EXPECT_EQ(env.ok("taskwright_exec", {{"args", {"--version"}}})["stdout"], "radaro 0.1.0\n");
}

TEST(TaskwrightInstall, ShippedScriptFailsClearlyWithoutTheProgram) {
  TaskwrightEnv env;
  // The real script copied without the radaro program beside it.
  std::string script =
      read_file(std::string(VESSA_BUNDLE) + "/Resources/taskwright/install-taskwright.sh");
  ASSERT_FALSE(script.empty());
  FakeBundle bundle(env.home_.path(), script);
  EXPECT_EQ(env.run("taskwright_install").error(), "Installer exited with status Some(1)");
  // The two streams interleave in no fixed order: look for the error line anywhere.
  Strings lines = env.progress();
  const std::string missing = "[stderr] install-taskwright: radaro program not found at ";
  EXPECT_EQ(std::ranges::count_if(lines, [&](const auto& l) { return l.starts_with(missing); }), 1);
  // The markers stay, so the status shows an unfinished install.
  json status = env.ok("taskwright_status");
  EXPECT_EQ(json({status["installed"], status["install_incomplete"]}), json({false, true}));
}

TEST(TaskwrightUninstall, RemovesTheHomeAndAlwaysReportsNotInstalled) {
  TaskwrightEnv env;
  write_file(env.marker(), "");
  EXPECT_EQ(env.run("taskwright_uninstall").value(), "uninstalled");
  write_file(env.tw_home() + "/anything/at/all", "x");
  EXPECT_EQ(env.run("taskwright_uninstall").value(), "uninstalled");
  EXPECT_FALSE(stdfs::exists(env.tw_home()));
  EXPECT_TRUE(stdfs::exists(env.marker()));  // uninstall leaves the marker alone
  EXPECT_EQ(env.statuses(), Strings(2, "not-installed|Taskwright uninstalled."));
}

TEST(TaskwrightReset, RemovesOnlyHomesThatLookLikeOurs) {
  const std::pair<Strings, const char*> cases[] = {
      {{}, "nothing-to-reset"},
      {{".installed-version"}, "reset"},
      {{".git/HEAD", "venv/x"}, "reset"},
      {{"notes.txt", ".git/HEAD"}, nullptr},  // foreign: refused
  };
  for (const auto& [files, result] : cases) {
    SCOPED_TRACE(files.empty() ? "no home" : files[0]);
    TaskwrightEnv env;
    write_file(env.marker(), "");
    for (const auto& f : files) write_file(env.tw_home() + "/" + f, "x");
    CommandResult r = env.run("taskwright_reset");
    if (result == nullptr) {
      EXPECT_EQ(r.error(), env.tw_home() +
                               " exists but doesn't look like a Vessa Taskwright install. Move "
                               "it aside or set VESSA_TASKWRIGHT_HOME elsewhere, then retry.");
      EXPECT_TRUE(stdfs::exists(env.tw_home() + "/notes.txt"));
      EXPECT_TRUE(env.statuses().empty());
    } else {
      EXPECT_EQ(r.value(), result);
      EXPECT_FALSE(stdfs::exists(env.tw_home()));
      EXPECT_EQ(env.statuses(), Strings{files.empty() ? "not-installed|Nothing to reset."
                                                      : "not-installed|Taskwright reset."});
    }
    EXPECT_FALSE(stdfs::exists(env.marker()));
    EXPECT_TRUE(install_lock_free());
  }
}

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
  /// Runs the fake in `mode` with the variables `extra` (and the options `opts`) as the page does.
  json exec(std::vector<std::string> args, const std::string& mode, json extra = json::object(),
            json opts = json::object()) {
    extra["FAKE_MODE"] = mode;
    opts["env_overrides"] = extra;
    return ok("taskwright_exec", {{"args", std::move(args)}, {"opts", opts}});
  }
};

TEST(TaskwrightExecRun, ReturnsArgvEnvironmentExitCodesSignalsRepairedTextAndStartFailures) {
  ExecEnv env;
  const std::string radaro_home = "RADARO_HOME=" + env.tw_home() + "/home\n";
  // What the fake printed to each stream and its exit code.
  auto outcome = [&](Strings args, const std::string& mode, json extra = json::object()) {
    json r = env.exec(std::move(args), mode, std::move(extra));
    EXPECT_TRUE(r["duration_ms"].is_number_integer()) << mode;
    return json{r["stdout"], r["stderr"], r["exit_code"]};
  };
  // The arguments reach the program as argv, never as shell text.
  EXPECT_EQ(outcome({"config", "show", "; touch $HOME/pwned", "a b"}, "argv"),
            json({"<config>\n<show>\n<; touch $HOME/pwned>\n<a b>\n", "", 0}));
  // RADARO_HOME and the enriched PATH are set, then the overrides applied, RADARO_HOME too.
  EXPECT_EQ(outcome({"memory", "status"}, "env", {{"X", "1"}}),
            json({radaro_home + "PATH_HAS_BUN=yes\nX=1\nstdin=0\n", "", 0}));
  EXPECT_EQ(outcome({"memory"}, "env", {{"RADARO_HOME", "/elsewhere"}}),
            json({"RADARO_HOME=/elsewhere\nPATH_HAS_BUN=yes\nX=unset\nstdin=0\n", "", 0}));
  EXPECT_EQ(outcome({"update"}, "exit"), json({"out\n", "err\n", 2}));
  EXPECT_EQ(outcome({"update"}, "signal"), json({"partial\n", "", nullptr}));
  EXPECT_EQ(outcome({"update"}, "invalid"), json({"a\xEF\xBF\xBD"
                                                  "b\xEF\xBF\xBD",
                                                  "\xEF\xBF\xBDz", 0}));
  EXPECT_FALSE(std::filesystem::exists(env.home_.path() + "/pwned"));
  // A program that cannot start.
  write_file(env.tw_home() + "/bin/radaro", "not executable", 0644);
  EXPECT_EQ(env.run("taskwright_exec", {{"args", {"--version"}}}).error(),
            "Failed to spawn radaro: Permission denied");
}

// A child flooding both pipes must neither block nor grow memory past the cap.
TEST(TaskwrightExecRun, CapsEachStreamAtFourMebibytesWhileReadingToTheEnd) {
  ExecEnv env;
  // Bytes written to each stream; bytes kept of each; whether the result says it was cut.
  const std::tuple<long, size_t, bool> cases[] = {
      {5L * 1024 * 1024, 4194304, true},
      {4194304, 4194304, true},  // a full buffer counts as truncated
      {4194303, 4194303, false},
  };
  for (const auto& [bytes, kept, truncated] : cases) {
    json r = env.exec({"update"}, "flood",
                      {{"CHILD", testing::test_child()}, {"BYTES", std::to_string(bytes)}});
    EXPECT_EQ(r["exit_code"], 0) << bytes;
    EXPECT_EQ(r["stdout"].get<std::string>().size(), kept) << bytes;
    EXPECT_EQ(r["stderr"].get<std::string>().size(), kept) << bytes;
    EXPECT_EQ(r["truncated"], truncated) << bytes;
  }
}

// How the time-out is read and clamped is the unit tests'.
TEST(TaskwrightExecRun, KillsARunThatOutlivesItsTimeout) {
  ExecEnv env;
  const auto start = std::chrono::steady_clock::now();
  json r = env.exec({"cron", "tick", "--now"}, "sleep", json::object(), {{"timeout_ms", 200}});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(r, (json{{"stdout", ""},
                     {"stderr", "radaro cron tick --now timed out after 200ms"},
                     {"exit_code", nullptr},
                     {"duration_ms", r["duration_ms"]},
                     {"truncated", false}}));
  // What radaro started is killed with it.
  const int started = testing::pid_in(env.home_.path() + "/radaro-child.pid");
  ASSERT_GT(started, 0);
  EXPECT_TRUE(testing::process_gone(started));
}

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
}  // namespace vessa::commands
