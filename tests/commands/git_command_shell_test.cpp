// The git runner's pure parts: environment, repository check, status parsing.
#include "commands/git/git_command_shell.hpp"

#include <gtest/gtest.h>

#include "fixtures/git_repos.hpp"

namespace vessa::commands::git {
namespace {

using Strings = std::vector<std::string>;

TEST(GitCommandShell, EnvironmentIsNonInteractiveAndKeepsTheUsersSshCommand) {
  proc::Environment inherited = {{"PATH", "/old"},
                                 {"HOME", "/home/u"},
                                 {"GIT_ASKPASS", "/usr/bin/ksshaskpass"},
                                 {"LC_ALL", "de_DE.UTF-8"},
                                 {"GIT_SSH_COMMAND", "ssh -i ~/.ssh/work"}};
  auto env = GitCommandShell::environment(inherited, "/new:/bin");
  EXPECT_EQ(env["PATH"], "/new:/bin");
  EXPECT_EQ(env["HOME"], "/home/u");
  EXPECT_EQ(env["GIT_TERMINAL_PROMPT"], "0");
  EXPECT_EQ(env["GIT_ASKPASS"], "/usr/bin/true");
  EXPECT_EQ(env["SSH_ASKPASS"], "/usr/bin/true");
  EXPECT_EQ(env["LC_ALL"], "C");
  EXPECT_EQ(env["GIT_SSH_COMMAND"], "ssh -i ~/.ssh/work");

  // An inherited empty value is still the user's choice.
  EXPECT_EQ(GitCommandShell::environment({{"GIT_SSH_COMMAND", ""}}, "/p")["GIT_SSH_COMMAND"], "");
  EXPECT_EQ(GitCommandShell::environment({}, "/p")["GIT_SSH_COMMAND"], "ssh -o BatchMode=yes");
}

TEST(GitCommandShell, OpenRepoAcceptsWorkTreesAndBareLayoutsOnly) {
  testing::ScratchDir dir("vessa-openrepo-");
  testing::write_file(dir / "work/.git/HEAD", "ref: refs/heads/main\n");
  testing::write_file(dir / "linked/.git", "gitdir: /elsewhere\n");  // a linked work tree
  testing::write_file(dir / "bare/HEAD", "ref: refs/heads/main\n");
  testing::write_file(dir / "bare/objects/.keep", "");
  testing::write_file(dir / "bare/refs/.keep", "");
  testing::write_file(dir / "half/HEAD", "ref: refs/heads/main\n");
  testing::write_file(dir / "half/refs/.keep", "");
  testing::write_file(dir / "plain/file.txt", "x");
  testing::write_file(dir / "afile", "x");

  for (const char* ok : {"work", "linked", "bare"}) {
    EXPECT_EQ(GitCommandShell::openRepo(dir / ok), std::nullopt) << ok;
  }
  for (const char* bad : {"half", "plain", "afile", "missing"}) {
    EXPECT_EQ(GitCommandShell::openRepo(dir / bad),
              "could not find repository at '" + (dir / bad) + "'")
        << bad;
  }
  EXPECT_EQ(GitCommandShell::openRepo(""), "could not find repository at ''");
}

std::string nul_join(const Strings& entries) {
  std::string s;
  for (const auto& e : entries) {
    s += e;
    s += '\0';
  }
  return s;
}

TEST(GitPorcelain, SortsEntriesIntoTheStatusListsAndSkipsShortOnes) {
  // Names with spaces, a newline and non-ASCII come through -z unquoted.
  std::string out = nul_join({
      "M  staged.txt",
      " M work tree.txt",
      "MM both.txt",
      "D  gone-staged.txt",
      " D gone\nhere.txt",
      "A  new/ü.txt",
      "?? dir/sub/untracked.txt",
      "UU u.txt",
      "AA aa.txt",
      "DD dd.txt",
      "AU au.txt",
      "T  typechange",
      "R  renamed-to.txt",
      "renamed-from.txt",
      "C  copied.txt",
      "M  copy-source-that-is-skipped.txt",
      "M",  // too short: skipped, as an empty entry is
      "",
      "AM added-then-edited.txt",
  });
  out.pop_back();  // the last entry needs no trailing NUL
  auto lists = parse_porcelain_z(out);
  EXPECT_EQ(lists.staged_files, (Strings{"staged.txt", "both.txt", "gone-staged.txt", "new/ü.txt",
                                         "added-then-edited.txt"}));
  EXPECT_EQ(lists.modified,
            (Strings{"work tree.txt", "both.txt", "gone\nhere.txt", "added-then-edited.txt"}));
  EXPECT_EQ(lists.untracked_files, (Strings{"dir/sub/untracked.txt"}));
  EXPECT_EQ(lists.conflict_files, (Strings{"u.txt", "aa.txt", "dd.txt", "au.txt"}));
}

TEST(GitAheadBehind, ReadsTheFirstTwoFieldsOfTheFirstLine) {
  const std::pair<std::string, std::pair<int, int>> cases[] = {
      {"  0 \t 12  \nignored 9\n", {0, 12}},
      {"7\n", {0, 0}},
      {"x\t4\n", {0, 4}},
      {"2\t99999999999999999999\n", {2, 0}},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(parse_ahead_behind(text), want) << text;
}

}  // namespace
}  // namespace vessa::commands::git
