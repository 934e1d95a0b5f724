// The git runner with real children (environment, capture, start failures and time-outs), and
// the git commands through the registry against real repositories and a local bare "origin".
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>

#include "commands/commands_test_support.hpp"
#include "commands/git/git_command_shell.hpp"
#include "fixtures/git_repos.hpp"
#include "fixtures/scripts.hpp"

namespace vessa::commands {
namespace {

using testing::commit_file;
using testing::git;
using testing::write_file;
using Clock = std::chrono::steady_clock;
using testing::test_child;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(GitRunner, ChildGetsTheFixedEnvironmentAndNoStandardInput) {
  // Which variables are set is the environment's unit test; here that the child gets them.
  git::Out o = git::GitCommandShell::exec(test_child(), {"env", "GIT_TERMINAL_PROMPT"}, 10);
  EXPECT_EQ(o.out, "0\n");
  // A child reading standard input sees its end at once instead of waiting for a user.
  auto start = Clock::now();
  git::Out in = git::GitCommandShell::exec(test_child(), {"stdin"}, 10);
  EXPECT_EQ(in.status, 0);
  EXPECT_EQ(in.out, "");
  EXPECT_LT(seconds_since(start), 5.0);
}

TEST(GitRunner, ReportsExitsSignalsStartFailuresAndUndecodableOutput) {
  testing::ScratchDir dir("vessa-fakegit-");
  // The fake git's script; the status, message and standard output it gives.
  const std::tuple<std::string, int, std::string, std::string> cases[] = {
      {"echo out; printf '\\n  fatal: no \\r\\n' >&2; exit 128", 128, "fatal: no", "out\n"},
      {"echo '  on stdout'; exit 1", 1, "on stdout", "  on stdout\n"},  // no stderr: stdout
      {"printf 'caf\\351\\n'; printf 'bad \\377' >&2; exit 2", 2, "git exited with status 2", ""},
      {"kill -9 $$", 9, "git exited with status 9", ""},
  };
  int n = 0;
  for (const auto& [script, status, message, out] : cases) {
    const std::string fake = testing::write_script(dir / ("git" + std::to_string(n++)), script);
    git::Out o = git::GitCommandShell::exec(fake, {}, 30);
    EXPECT_EQ(std::tuple(o.status, o.errorMessage(), o.out), std::tuple(status, message, out))
        << script;
  }
  git::Out missing = git::GitCommandShell::exec(dir / "no-such-git", {"status"}, 30);
  EXPECT_EQ(missing.status, -1);
  EXPECT_EQ(missing.errorMessage(), "failed to run git: No such file or directory");
}

TEST(GitRunner, TimeOutStopsAHangingGitAndKeepsWhatItWrote) {
  testing::ScratchDir dir("vessa-hanggit-");
  std::string fake =
      testing::write_script(dir / "git", "echo \"Cloning into 'x'...\" >&2\nexec sleep 30");
  auto start = Clock::now();
  git::Out o = git::GitCommandShell::exec(fake, {"clone", "https://example.invalid/x"}, 0.5);
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
  git::Out o = git::GitCommandShell::run({"push", "origin", "main"}, pair.work, 1.0);
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
  const std::string names[] = {"main",  "feature/x-1.2", "unicode-é", "ok+plus", "@x",  "-f",
                               "a..b",  "a/.hidden",     "x.lock",    "x/",      "/x",  "a//b",
                               "x.",    "a b",           "a~1",       "a^",      "a:b", "a?",
                               "a*",    "a[b",           "a\\b",      "a@{1}",   "@",   "HEAD",
                               "a\x7f", "tab\tx",        "",          "+main"};
  for (const auto& name : names) {
    proc::Options check;
    check.argv = {"git", "check-ref-format", "--branch", name};
    auto verdict = proc::run(check);
    ASSERT_TRUE(verdict.has_value()) << verdict.error();
    // Stricter than git: "+" forces a refspec, and git's --branch expands "@" to HEAD's branch.
    const bool ours_only = name.rfind('+', 0) == 0 || name == "@";
    const bool git_says = verdict->status.success() && !ours_only;
    EXPECT_EQ(git::is_valid_branch_name(name), git_says) << name;
  }
}

class GitCommands : public ::testing::Test, protected testing::Commands {
 protected:
  static std::string head(const std::string& repo) { return git(repo, {"rev-parse", "HEAD"}); }
};

TEST_F(GitCommands, NotARepositoryFailsWithoutRunningGit) {
  testing::RemotePair pair("vessa-trace-");
  testing::ScratchDir dir("vessa-norepo-");
  write_file(dir / "only-head/HEAD", "ref: refs/heads/main\n");
  std::string trace = dir / "trace.log";
  ::setenv("GIT_TRACE", trace.c_str(), 1);  // any git started would write here
  const std::string path = dir / "only-head";
  for (const char* cmd :
       {"git_pull", "git_status", "git_create_branch", "git_checkout", "git_push"}) {
    EXPECT_EQ(fails(cmd, {{"path", path}, {"branchName", "b"}}),
              "could not find repository at '" + path + "'");
  }
  EXPECT_FALSE(std::filesystem::exists(trace)) << testing::read_file(trace);

  // The probe works: a real repository does run git.
  ok("git_status", {{"path", pair.work}});
  ::unsetenv("GIT_TRACE");
  EXPECT_TRUE(std::filesystem::exists(trace));
}

TEST_F(GitCommands, CloneReportsThePathAndBranchAndTakesOptionLookingValuesAsNames) {
  testing::RemotePair pair("vessa-clone-");
  commit_file(pair.work, "dev.txt", "d\n", "dev work");
  git(pair.work, {"push", "-q", "origin", "main:develop"});

  const std::vector<std::pair<json, std::string>> cases = {
      {nullptr, "main"}, {"", "main"}, {"develop", "develop"}};
  int n = 0;
  for (const auto& [branch, want] : cases) {
    std::string dest = pair.root + "/clone " + std::to_string(n++);
    json args = {{"url", pair.bare}, {"path", dest}};
    if (!branch.is_null()) args["branch"] = branch;
    EXPECT_EQ(ok("git_clone", args), json({{"path", dest}, {"branch", want}}));
    EXPECT_EQ(git(dest, {"rev-parse", "--abbrev-ref", "HEAD"}), want + "\n");
  }

  // git's whole standard error is the message.
  EXPECT_EQ(
      fails("git_clone", {{"url", pair.bare}, {"path", pair.root + "/x"}, {"branch", "nope"}}),
      "Cloning into '" + pair.root +
          "/x'...\n"
          "fatal: Remote branch nope not found in upstream origin");

  std::string dest = pair.root + "/dest";
  // As an option, "--upload-pack=" would name a program for git to run.
  EXPECT_EQ(
      fails("git_clone", {{"url", "--upload-pack=touch " + pair.root + "/owned"}, {"path", dest}}),
      "fatal: repository '--upload-pack=touch " + pair.root + "/owned' does not exist");
  EXPECT_FALSE(std::filesystem::exists(pair.root + "/owned"));
  EXPECT_FALSE(std::filesystem::exists(dest));

  EXPECT_EQ(fails("git_clone", {{"url", pair.bare}, {"path", dest}, {"branch", "--bare"}}),
            "git_clone: missing branch");
  // A relative destination that looks like an option is a folder name (relative to our cwd).
  auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(pair.root);
  json v = ok("git_clone", {{"url", pair.bare}, {"path", "-dash-dest"}});
  std::filesystem::current_path(cwd);
  EXPECT_EQ(v, json({{"path", "-dash-dest"}, {"branch", "main"}}));
  EXPECT_TRUE(std::filesystem::exists(pair.root + "/-dash-dest/README.md"));
}

// Fast-forward only: a diverged history, a detached HEAD or a branch origin lacks fail, and
// leave the work tree as it was.
TEST_F(GitCommands, PullFastForwardsOnly) {
  testing::RemotePair pair("vessa-pull-");
  std::string other = testing::clone_of(pair, "other");
  commit_file(other, "b.txt", "b\n", "two");
  commit_file(other, "c.txt", "c\n", "three");
  git(other, {"push", "-q", "origin", "main"});

  EXPECT_EQ(ok("git_pull", {{"path", pair.work}}), json({{"updated", true}, {"newCommits", 2}}));
  EXPECT_EQ(head(pair.work), head(other));
  EXPECT_EQ(testing::read_file(pair.work + "/c.txt"), "c\n");
  // Nothing new the second time, also when ahead of the remote.
  commit_file(pair.work, "README.md", "ours\n", "ours");
  std::string before = head(pair.work);
  EXPECT_EQ(ok("git_pull", {{"path", pair.work}}), json({{"updated", false}, {"newCommits", 0}}));
  EXPECT_EQ(head(pair.work), before);

  commit_file(other, "README.md", "theirs\n", "theirs");
  git(other, {"push", "-q", "origin", "main"});
  write_file(pair.work + "/wip.txt", "uncommitted\n");
  EXPECT_EQ(fails("git_pull", {{"path", pair.work}}),
            "Merge required - please resolve conflicts manually");
  EXPECT_EQ(head(pair.work), before);
  EXPECT_EQ(testing::read_file(pair.work + "/README.md"), "ours\n");
  EXPECT_EQ(git(pair.work, {"status", "--porcelain"}), "?? wip.txt\n");

  git(pair.work, {"checkout", "-q", "--detach"});
  std::filesystem::remove(pair.work + "/.git/FETCH_HEAD");
  EXPECT_EQ(fails("git_pull", {{"path", pair.work}}), "HEAD is not a branch");
  EXPECT_FALSE(testing::git_ok(pair.work, {"rev-parse", "-q", "--verify", "FETCH_HEAD"}));
  // git's own error is the message.
  git(pair.work, {"checkout", "-q", "-b", "local-only"});
  EXPECT_EQ(fails("git_pull", {{"path", pair.work}}), "fatal: couldn't find remote ref local-only");
}

TEST_F(GitCommands, StatusSortsChangesAndCountsAheadAndBehind) {
  testing::RemotePair pair("vessa-status-");
  std::string w = pair.work;
  std::string other = testing::clone_of(pair, "other");
  commit_file(other, "t.txt", "t\n", "theirs");
  git(other, {"push", "-q", "origin", "main"});
  write_file(w + "/mod.txt", "1\n");
  write_file(w + "/old name.txt", "rename me\nsecond line\nthird line\n");
  commit_file(w, "keep.txt", "k\n", "Subject line\n\nBody line one.\nBody line two.\n\n");
  git(w, {"fetch", "-q"});
  write_file(w + "/mod.txt", "2\n");
  git(w, {"mv", "old name.txt", "new name.txt"});
  write_file(w + "/line\nbreak dir/deeper/a.txt", "u\n");
  write_file(w + "/caf\xe9.txt", "a Latin-1 name\n");

  // git's order: sorted by path; a name that is not UTF-8 is repaired, not dropped.
  EXPECT_EQ(ok("git_status", {{"path", w}}), json::parse(R"({"branch": "main", "isDirty": true,
    "ahead": 1, "behind": 1, "lastCommit": "Subject line\n\nBody line one.\nBody line two.",
    "hasConflicts": false, "conflictFiles": [], "modified": ["mod.txt"],
    "stagedFiles": ["new name.txt", "old name.txt"],
    "untrackedFiles": ["caf\uFFFD.txt", "line\nbreak dir/deeper/a.txt"]})"));
}

TEST_F(GitCommands, StatusOfACleanDetachedOrEmptyTree) {
  testing::ScratchDir dir("vessa-clean-");
  testing::init_repo(dir.path());
  commit_file(dir.path(), "a.txt", "a\n", "only\r\n");
  json v = ok("git_status", {{"path", dir.path()}});
  EXPECT_EQ(v, json::parse(R"({"branch": "main", "isDirty": false, "ahead": 0, "behind": 0,
    "lastCommit": "only", "hasConflicts": false, "conflictFiles": [], "modified": [],
    "stagedFiles": [], "untrackedFiles": []})"));

  git(dir.path(), {"checkout", "-q", "--detach"});
  EXPECT_EQ(ok("git_status", {{"path", dir.path()}})["branch"], "HEAD");

  testing::ScratchDir empty("vessa-empty-");  // no commits: git's error
  testing::init_repo(empty.path());
  std::string message = fails("git_status", {{"path", empty.path()}});
  EXPECT_NE(message.find("ambiguous argument 'HEAD'"), std::string::npos) << message;
}

TEST_F(GitCommands, CreateBranchLeavesTheWorkTreeWhereItWas) {
  testing::RemotePair pair("vessa-branch-");
  EXPECT_EQ(ok("git_create_branch", {{"path", pair.work}, {"branchName", "feature/x"}}),
            "Created branch: feature/x");
  EXPECT_EQ(git(pair.work, {"rev-parse", "--abbrev-ref", "HEAD"}), "main\n");
  EXPECT_EQ(git(pair.work, {"rev-parse", "feature/x"}), head(pair.work));
  EXPECT_EQ(fails("git_create_branch", {{"path", pair.work}, {"branchName", "feature/x"}}),
            "fatal: a branch named 'feature/x' already exists");
}

// Missing arguments fail in column order, before the repository is looked at. Page-chosen names
// reach git as arguments: one that git would read as an option, a pattern ("*" pushes every
// branch), a forced refspec ("+main") or, cut at a NUL, as another name, is refused before git
// runs. Every other rule of the name check is GitRefNames'. All of them fail at once, on the
// dispatching thread.
TEST_F(GitCommands, MissingArgumentsAndNamesGitWouldNotTakeAsOneBranchOrRemoteAreRefused) {
  testing::RemotePair pair("vessa-badnames-");
  write_file(pair.work + "/README.md", "local edit\n");
  const std::string marker = pair.root + "/owned";
  const std::string nul_name("feature\0--evil", 14);
  // The command, its arguments and the argument it reports missing.
  std::vector<std::tuple<std::string, json, std::string>> cases = {
      {"git_clone", json::object(), "url"},
      {"git_clone", {{"url", "/r.git"}}, "path"},
      {"git_clone",
       {{"url", pair.bare + std::string("\0x", 2)}, {"path", pair.root + "/c"}},
       "url"},
      {"git_pull", {{"path", ""}}, "path"},
      {"git_create_branch", {{"path", "/nope"}}, "branchName"},
      {"git_create_branch",
       {{"path", "/nope"}, {"branchName", ""}, {"branch_name", "x"}},
       "branchName"},
      {"git_checkout", {{"path", "/nope"}, {"branch_name", ""}}, "branchName"},
      {"git_push", json::array(), "path"},
  };
  for (const std::string& name :
       {nul_name, std::string("*"), std::string("+main"), std::string("-f")}) {
    cases.push_back(
        {"git_create_branch", {{"path", pair.work}, {"branchName", name}}, "branchName"});
    cases.push_back({"git_checkout", {{"path", pair.work}, {"branch_name", name}}, "branchName"});
    cases.push_back({"git_push", {{"path", pair.work}, {"branch", name}}, "branch"});
  }
  for (const std::string& remote :
       {std::string("--receive-pack=touch " + marker), std::string("+origin"),
        std::string("/tmp/elsewhere.git"), std::string("origin\0x", 8)}) {
    cases.push_back({"git_push", {{"path", pair.work}, {"remote", remote}}, "remote"});
  }
  for (const auto& [cmd, args, missing] : cases) {
    std::optional<CommandResult> r;
    EXPECT_TRUE(handleGit(registry->family_context(), cmd, args,
                          [&](const CommandResult& result) { r = result; }));
    ASSERT_TRUE(r) << cmd << " " << args << " did not fail at once";
    EXPECT_EQ(r->error(), cmd + ": missing " + missing) << args;
  }

  EXPECT_EQ(git(pair.work, {"branch", "--format=%(refname:short)"}), "main\n");
  EXPECT_EQ(git(pair.work, {"rev-parse", "--abbrev-ref", "HEAD"}), "main\n");
  EXPECT_EQ(git(pair.bare, {"branch", "--format=%(refname:short)"}), "main\n");
  EXPECT_EQ(testing::read_file(pair.work + "/README.md"), "local edit\n");
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_FALSE(std::filesystem::exists(pair.root + "/c"));
}

TEST_F(GitCommands, CheckoutSwitchesBranchesButNeverRestoresFiles) {
  testing::RemotePair pair("vessa-checkout-");
  git(pair.work, {"branch", "topic"});
  git(pair.work, {"push", "-q", "origin", "main:remote-only"});

  EXPECT_EQ(ok("git_checkout", {{"path", pair.work}, {"branch_name", "topic"}}),
            "Checked out: topic");
  EXPECT_EQ(git(pair.work, {"rev-parse", "--abbrev-ref", "HEAD"}), "topic\n");
  // A branch only on origin is still created and tracked, as a plain checkout does.
  git(pair.work, {"fetch", "-q"});
  EXPECT_EQ(ok("git_checkout", {{"path", pair.work}, {"branchName", "remote-only"}}),
            "Checked out: remote-only");
  EXPECT_EQ(git(pair.work, {"rev-parse", "--abbrev-ref", "@{upstream}"}), "origin/remote-only\n");

  // A file name is not a revision: its local changes stay.
  write_file(pair.work + "/README.md", "precious edit\n");
  EXPECT_EQ(fails("git_checkout", {{"path", pair.work}, {"branchName", "README.md"}}),
            "fatal: invalid reference: README.md");
  EXPECT_EQ(testing::read_file(pair.work + "/README.md"), "precious edit\n");
}

TEST_F(GitCommands, PushToOriginOrANamedRemote) {
  testing::RemotePair pair("vessa-push-");
  std::string second = pair.root + "/second.git";
  git(pair.root, {"init", "-q", "--bare", second});
  git(pair.work, {"remote", "add", "backup", second});
  commit_file(pair.work, "n.txt", "n\n", "new");

  EXPECT_EQ(ok("git_push", {{"path", pair.work}}), "Pushed main to origin/main");
  EXPECT_EQ(git(pair.bare, {"rev-parse", "main"}), head(pair.work));
  EXPECT_EQ(ok("git_push", {{"path", pair.work}, {"remote", ""}, {"branch", ""}}),
            "Pushed main to origin/main");

  git(pair.work, {"branch", "topic"});
  EXPECT_EQ(ok("git_push", {{"path", pair.work}, {"remote", "backup"}, {"branch", "topic"}}),
            "Pushed topic to backup/topic");
  EXPECT_EQ(git(second, {"rev-parse", "topic"}), head(pair.work));
  // No upstream is set by a push.
  EXPECT_FALSE(testing::git_ok(pair.work, {"rev-parse", "--abbrev-ref", "topic@{upstream}"}));

  git(pair.work, {"checkout", "-q", "--detach"});
  EXPECT_EQ(fails("git_push", {{"path", pair.work}}), "HEAD is not a branch");
  EXPECT_EQ(ok("git_push", {{"path", pair.work}, {"branch", "main"}}),
            "Pushed main to origin/main");
}

}  // namespace
}  // namespace vessa::commands
