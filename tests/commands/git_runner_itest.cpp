// The git runner with real children: environment, capture, start failures and time-outs.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "commands/git/git_command_shell.hpp"
#include "fixtures/git_repos.hpp"
#include "fixtures/helpers.hpp"
#include "fixtures/temp_home.hpp"
#include "support/paths.hpp"

namespace vessa::git {
namespace {

using Clock = std::chrono::steady_clock;
using testing::test_child;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// True once `pid` is gone or a zombie waiting for its (re)parent.
bool process_ended(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

TEST(GitRunner, FindsAnExecutableGitOnce) {
  const std::string& binary = GitCommandShell::gitBinary();
  EXPECT_TRUE(paths::is_executable_file(binary)) << binary;
  EXPECT_EQ(&binary, &GitCommandShell::gitBinary());
  Out version = GitCommandShell::run({"--version"}, std::nullopt, 30);
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("git version ", 0), 0U) << version.out;
}

TEST(GitRunner, ChildGetsTheFixedEnvironmentAndNoStandardInput) {
  ::setenv("GIT_SSH_COMMAND", "ssh -F /dev/null -o BatchMode=yes -i /keys/work", 1);
  ::setenv("GIT_ASKPASS", "/usr/lib/ssh/x11-ssh-askpass", 1);
  struct Case {
    std::string name;
    std::string want;
  };
  const std::vector<Case> cases = {
      {"GIT_TERMINAL_PROMPT", "0"},
      {"GIT_ASKPASS", "/usr/bin/true"},
      {"SSH_ASKPASS", "/usr/bin/true"},
      {"LC_ALL", "C"},
      {"GIT_SSH_COMMAND", "ssh -F /dev/null -o BatchMode=yes -i /keys/work"},
      {"PATH", GitCommandShell::cachedPath()},
  };
  for (const auto& c : cases) {
    Out o = GitCommandShell::exec(test_child(), {"env", c.name}, 10);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, c.want + "\n") << c.name;
  }
  ::unsetenv("GIT_SSH_COMMAND");
  ::unsetenv("GIT_ASKPASS");
  EXPECT_EQ(GitCommandShell::exec(test_child(), {"env", "GIT_SSH_COMMAND"}, 10).out,
            "ssh -o BatchMode=yes\n");

  // A child reading standard input sees its end at once instead of waiting for a user.
  auto start = Clock::now();
  Out in = GitCommandShell::exec(test_child(), {"stdin"}, 10);
  EXPECT_EQ(in.status, 0);
  EXPECT_EQ(in.out, "");
  EXPECT_LT(seconds_since(start), 5.0);
}

TEST(GitRunner, CapturesBothFloodedStreamsWithoutBlocking) {
  Out o = GitCommandShell::exec(test_child(), {"flood", "1000000"}, 60);
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out.size(), 1000000U);
  EXPECT_EQ(o.err.size(), 1000000U);
}

TEST(GitRunner, ReportsExitsSignalsStartFailuresAndUndecodableOutput) {
  testing::ScratchDir dir("vessa-fakegit-");
  struct Case {
    std::string script;
    int status;
    std::string message;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"printf 'nothing to commit\\n'; exit 1", 1, "nothing to commit", "nothing to commit\n"},
      {"exit 1", 1, "git exited with status 1", ""},
      {"echo out; echo 'fatal: no' >&2; exit 128", 128, "fatal: no", "out\n"},
      {"printf 'caf\\351\\n'; printf 'bad \\377' >&2; exit 2", 2, "git exited with status 2", ""},
      {"kill -9 $$", 9, "git exited with status 9", ""},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    std::string script = dir / ("git" + std::to_string(i));
    testing::write_file(script, "#!/bin/sh\n" + cases[i].script + "\n", 0755);
    Out o = GitCommandShell::exec(script, {}, 30);
    EXPECT_EQ(o.status, cases[i].status) << cases[i].script;
    EXPECT_EQ(o.errorMessage(), cases[i].message) << cases[i].script;
    EXPECT_EQ(o.out, cases[i].out) << cases[i].script;
  }

  Out missing = GitCommandShell::exec(dir / "no-such-git", {"status"}, 30);
  EXPECT_EQ(missing.status, -1);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err, "failed to run git: No such file or directory");
  EXPECT_EQ(missing.errorMessage(), missing.err);
}

TEST(GitRunner, TimeOutTerminatesAHangingGitAndKeepsWhatItWrote) {
  testing::ScratchDir dir("vessa-hanggit-");
  std::string fake = testing::write_file(
      dir / "git", "#!/bin/sh\necho \"Cloning into 'x'...\" >&2\nexec sleep 30\n", 0755);
  auto start = Clock::now();
  Out o = GitCommandShell::exec(fake, {"clone", "https://example.invalid/x"}, 0.5);
  double took = seconds_since(start);
  EXPECT_EQ(o.status, SIGTERM);
  EXPECT_EQ(o.errorMessage(), "Cloning into 'x'...");
  EXPECT_GE(took, 0.45);
  EXPECT_LT(took, 5.0);
}

TEST(GitRunner, TimeOutKillsAChildThatIgnoresTerm) {
  auto start = Clock::now();
  Out o = GitCommandShell::exec(test_child(), {"ignore-term", "30000"}, 0.3);
  double took = seconds_since(start);
  EXPECT_EQ(o.status, SIGKILL);
  EXPECT_EQ(o.out, "ready\n");
  EXPECT_EQ(o.errorMessage(), "ready");
  EXPECT_GE(took, 0.55);  // time-out plus the 300 ms grace
  EXPECT_LT(took, 5.0);
}

// A hook that hangs must not outlive the stopped git (it holds git's pipes and the push).
TEST(GitRunner, TimeOutAlsoStopsWhatGitStarted) {
  testing::RemotePair pair("vessa-hook-");
  std::string pid_file = pair.root + "/hook.pid";
  testing::write_file(pair.work + "/.git/hooks/pre-push",
                      "#!/bin/sh\necho $$ > '" + pid_file + "'\nexec sleep 30\n", 0755);
  testing::commit_file(pair.work, "a.txt", "a\n", "second");

  auto start = Clock::now();
  Out o = GitCommandShell::run({"push", "origin", "main"}, pair.work, 1.0);
  EXPECT_LT(seconds_since(start), 6.0);
  EXPECT_TRUE(o.status == SIGTERM || o.status == SIGKILL) << o.status;
  EXPECT_FALSE(o.ok());

  int hook_pid = std::atoi(testing::read_file(pid_file).c_str());
  ASSERT_GT(hook_pid, 0);
  bool ended = false;
  for (int i = 0; i < 100 && !ended; ++i) {
    ended = process_ended(hook_pid);
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!ended) ::kill(hook_pid, SIGKILL);
  EXPECT_TRUE(ended) << "the hook's sleep survived the time-out";
  // Nothing reached the remote.
  EXPECT_EQ(testing::git(pair.bare, {"rev-list", "--count", "main"}), "1\n");
}

}  // namespace
}  // namespace vessa::git
