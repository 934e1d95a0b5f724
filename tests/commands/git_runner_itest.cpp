// The git runner with real children: environment, capture, start failures and time-outs.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>

#include "commands/git/git_command_shell.hpp"
#include "fixtures/git_repos.hpp"
#include "fixtures/helpers.hpp"
#include "fixtures/scripts.hpp"

namespace vessa::git {
namespace {

using Clock = std::chrono::steady_clock;
using testing::test_child;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(GitRunner, ChildGetsTheFixedEnvironmentAndNoStandardInput) {
  for (const auto& [name, want] : {std::pair<std::string, std::string>{"GIT_TERMINAL_PROMPT", "0"},
                                   {"PATH", GitCommandShell::cachedPath()}}) {
    Out o = GitCommandShell::exec(test_child(), {"env", name}, 10);
    EXPECT_EQ(o.out, want + "\n") << name;
  }
  // A child reading standard input sees its end at once instead of waiting for a user.
  auto start = Clock::now();
  Out in = GitCommandShell::exec(test_child(), {"stdin"}, 10);
  EXPECT_EQ(in.status, 0);
  EXPECT_EQ(in.out, "");
  EXPECT_LT(seconds_since(start), 5.0);
  // The system git is found and runs.
  EXPECT_EQ(GitCommandShell::run({"--version"}, std::nullopt, 30).out.rfind("git version ", 0), 0U);
}

TEST(GitRunner, ReportsExitsSignalsStartFailuresAndUndecodableOutput) {
  testing::ScratchDir dir("vessa-fakegit-");
  struct Case {
    std::string script;
    int status;
    std::string message;
    std::string out;
  };
  const Case cases[] = {
      {"echo out; printf '\\n  fatal: no \\r\\n' >&2; exit 128", 128, "fatal: no", "out\n"},
      {"echo '  on stdout'; exit 1", 1, "on stdout", "  on stdout\n"},  // no stderr: stdout
      {"printf 'caf\\351\\n'; printf 'bad \\377' >&2; exit 2", 2, "git exited with status 2", ""},
      {"kill -9 $$", 9, "git exited with status 9", ""},
  };
  for (const auto& c : cases) {
    std::string name = "git" + std::to_string(&c - cases);
    Out o = GitCommandShell::exec(testing::write_script(dir / name, c.script), {}, 30);
    EXPECT_EQ(o.status, c.status) << c.script;
    EXPECT_EQ(o.errorMessage(), c.message) << c.script;
    EXPECT_EQ(o.out, c.out) << c.script;
  }
  Out missing = GitCommandShell::exec(dir / "no-such-git", {"status"}, 30);
  EXPECT_EQ(missing.status, -1);
  EXPECT_EQ(missing.errorMessage(), "failed to run git: No such file or directory");
}

TEST(GitRunner, TimeOutStopsAHangingGitAndKeepsWhatItWrote) {
  testing::ScratchDir dir("vessa-hanggit-");
  std::string fake =
      testing::write_script(dir / "git", "echo \"Cloning into 'x'...\" >&2\nexec sleep 30");
  auto start = Clock::now();
  Out o = GitCommandShell::exec(fake, {"clone", "https://example.invalid/x"}, 0.5);
  EXPECT_EQ(o.status, SIGTERM);
  EXPECT_EQ(o.errorMessage(), "Cloning into 'x'...");
  EXPECT_GE(seconds_since(start), 0.45);
}

// A hook that hangs must not outlive the stopped git (it holds git's pipes and the push).
TEST(GitRunner, TimeOutAlsoStopsWhatGitStarted) {
  testing::RemotePair pair("vessa-hook-");
  testing::PidFileGuard hook{pair.root + "/hook.pid"};
  testing::write_script(pair.work + "/.git/hooks/pre-push",
                        "echo $$ > '" + hook.pid_file + "'\nexec sleep 30");
  testing::commit_file(pair.work, "a.txt", "a\n", "second");

  auto start = Clock::now();
  Out o = GitCommandShell::run({"push", "origin", "main"}, pair.work, 1.0);
  EXPECT_LT(seconds_since(start), 6.0);
  EXPECT_TRUE(o.status == SIGTERM || o.status == SIGKILL) << o.status;
  ASSERT_GT(testing::pid_in(hook.pid_file), 0);
  EXPECT_TRUE(testing::process_gone(testing::pid_in(hook.pid_file)))
      << "the hook's sleep survived the time-out";
  EXPECT_EQ(testing::git(pair.bare, {"rev-list", "--count", "main"}), "1\n");  // nothing pushed
}

// Our name check stands in for `git check-ref-format --branch`: git itself is the judge of
// every case but the two where we are deliberately stricter.
TEST(GitRefNames, AgreeWithGitsOwnBranchCheck) {
  const std::string names[] = {"main",      "feature/x-1.2",
                               "a/b/c",     "unicode-é",
                               "-f",        "a..b",
                               "a/.hidden", ".x",
                               "x.lock",    "x/",
                               "/x",        "a//b",
                               "x.",        "a b",
                               "a~1",       "a^",
                               "a:b",       "a?",
                               "a*",        "a[b",
                               "a\\b",      "a@{1}",
                               "@",         "HEAD",
                               "a\x7f",     "tab\tx",
                               "",          "x.lock/y",
                               "+main",     "ok+plus",
                               "@x",        "a.b"};
  for (const auto& name : names) {
    proc::Options check;
    check.argv = {"git", "check-ref-format", "--branch", name};
    auto verdict = proc::run(check);
    ASSERT_TRUE(verdict.has_value()) << verdict.error();
    // Stricter than git: "+" forces a refspec, and git's --branch expands "@" to HEAD's branch.
    const bool ours_only = name.rfind('+', 0) == 0 || name == "@";
    const bool git_says = verdict->status.success() && !ours_only;
    EXPECT_EQ(is_valid_branch_name(name), git_says) << name;
  }
}

}  // namespace
}  // namespace vessa::git
