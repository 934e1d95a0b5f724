// cli_detect and cli_install against fake tools and installers found through a fake login shell.
#include <gtest/gtest.h>

#include "commands/cli_install.hpp"
#include "commands/cli_lookup.hpp"
#include "commands/commands_test_support.hpp"
#include "fixtures/cli_fakes.hpp"

namespace vessa::commands {
namespace {

using testing::ScopedEnv;
using testing::write_script;

class CliTools : public ::testing::Test {
 protected:
  // The fake login shell's PATH: the fake tools first, then `rest`.
  explicit CliTools(const std::string& rest)
      : shell_("SHELL",
               testing::write_fake_login_shell(home_.path() + "/login-shell", tools_ + rest)) {}
  void TearDown() override { cli::set_install_limit_for_testing(std::nullopt); }
  CommandResult install(const std::string& tool) {
    return commands_.run("cli_install", {{"tool", tool}});
  }

  testing::TempHome home_;
  std::string tools_ = home_.path() + "/tools";
  ScopedEnv shell_;
  testing::Commands commands_;
};

// Detection sees nothing of this machine's own tools.
struct CliDetectTest : CliTools {
  CliDetectTest() : CliTools(":/usr/bin:/bin") {}
  json detect() {
    auto r = commands_.run("cli_detect", json::object(), std::chrono::seconds(40));
    EXPECT_TRUE(r.ok()) << r.error();
    return r.value();
  }
};

// Installers get the enriched PATH the shell was given.
struct CliInstallTest : CliTools {
  CliInstallTest() : CliTools(":$PATH") {}
};

TEST_F(CliDetectTest, VersionsFromFakeToolsAndSpecialLocations) {
  const std::string h = home_.path();
  write_script(tools_ + "/claude", "printf '\\n  \\n\\n  claude 1.2.3 (Claude Code)\\nmore\\n'");
  write_script(tools_ + "/codex", "exit 127");
  write_script(tools_ + "/opencode", "echo \"opencode $1\" >&2; echo 'opencode 0.4'");
  // Lives where the kimi installer puts it, which the login shell's PATH does not reach.
  write_script(h + "/.local/bin/kimi", "echo 'kimi, version 0.9'");
  write_script(h + "/.vessa-taskwright/bin/radaro", "echo \"radaro 2.0 $1\"");
  // A kimi on the shell's PATH loses to the one in the home folder.
  write_script(tools_ + "/kimi", "echo 'wrong kimi'");
  // A hanging --version is stopped at the limit; what it printed first still counts.
  const std::string pid_file = h + "/grok.pid";
  write_script(tools_ + "/grok",
               "echo $$ > '" + pid_file + "'; echo 'grok 0.9'; exec /bin/sleep 60");

  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(detect(), json::parse(R"J({
    "claude": {"installed": true, "version": "claude 1.2.3 (Claude Code)"},
    "codex": {"installed": true, "version": null},
    "opencode": {"installed": true, "version": "opencode 0.4"},
    "gemini": {"installed": false},
    "grok": {"installed": true, "version": "grok 0.9"},
    "kimi": {"installed": true, "version": "kimi, version 0.9"},
    "taskwright": {"installed": true, "version": "radaro 2.0 --version"}})J"));
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_TRUE(testing::process_gone(testing::pid_in(pid_file)));
}

TEST_F(CliDetectTest, RuntimeFallsBackToTheLoginShellsRadaro) {
  write_script(tools_ + "/radaro", "echo 'radaro from PATH'");
  // Not executable: the home-folder copy is skipped.
  testing::write_file(home_.path() + "/.vessa-taskwright/bin/radaro", "#!/bin/sh\necho no\n", 0644);
  EXPECT_EQ(detect()["taskwright"], (json{{"installed", true}, {"version", "radaro from PATH"}}));
}

TEST_F(CliDetectTest, VersionRunsWithOnlyTheEnrichedPath) {
  write_script(tools_ + "/envtool",
               "echo \"vars=$(/usr/bin/env | /bin/grep -v '^PWD=' | /bin/grep -vc '^PATH=') "
               "path=$PATH\"");
  EXPECT_EQ(cli::runVersion(tools_ + "/envtool", "/only/here"), "vars=0 path=/only/here");
}

TEST_F(CliDetectTest, LookupRefusesNamesThatAreNotPlainProgramNames) {
  for (const char* name : {"claude;touch ran", "$(touch ran)", "", "-v", "a b"}) {
    EXPECT_EQ(cli::whichViaLoginShell(name), std::nullopt) << name;
  }
  EXPECT_FALSE(std::filesystem::exists(home_.path() + "/ran"));
  write_script(tools_ + "/plain-tool_1.0", "exit 0");
  EXPECT_EQ(cli::whichViaLoginShell("plain-tool_1.0"), tools_ + "/plain-tool_1.0");
}

TEST_F(CliInstallTest, OutcomesAndTheirMessages) {
  const std::pair<const char*, json> cases[] = {
      {"echo '  npm ERR! code E404  '; echo 'npm ERR! 404 Not Found'; exit 1",
       "!Installation failed: npm ERR! code E404  \nnpm ERR! 404 Not Found"},
      {"exit 127", "!Installation failed: exit code 127"},
      {"echo 'npm WARN deprecated glob@7' >&2; echo added 1 package; exit 0",
       "Successfully installed claude"},
      {"printf '\\377\\376' >&2; echo readable; exit 2", "!Installation failed: readable"},
  };
  for (const auto& [npm_body, answer] : cases) {
    write_script(tools_ + "/npm", npm_body);
    EXPECT_EQ(commands_.answer("cli_install", {{"tool", "claude"}}), answer) << npm_body;
  }
  ScopedEnv shell("SHELL", home_.path() + "/no-such-shell");
  EXPECT_EQ(install("claude").error(), "Failed to run installer: No such file or directory");
}

TEST_F(CliInstallTest, EachToolRunsItsPublishedCommandWithTheEnrichedPath) {
  const std::string log = home_.path() + "/calls";
  // Each fake logs its call and fails without the enriched PATH or when given input.
  const std::string checks = "case \"$PATH\" in *'" + home_.path() +
                             "/.bun/bin'*) ;; *) exit 9;; esac\n[ \"$(cat)\" = '' ] || exit 8\n";
  for (const std::string prog : {"npm", "go", "curl"}) {
    write_script(tools_ + "/" + prog,
                 "echo \"" + prog + " $*\" >> '" + log + "'\n" + checks +
                     (prog == "curl" ? "echo 'echo piped-to-bash >&2'" : "true"));
  }
  for (const char* tool : {"claude", "codex", "opencode", "grok", "kimi"}) {
    EXPECT_EQ(commands_.answer("cli_install", {{"tool", tool}}),
              std::string("Successfully installed ") + tool);
  }
  EXPECT_EQ(testing::read_file(log),
            "npm install -g @anthropic-ai/claude-code\n"
            "npm install -g @openai/codex\n"
            "go install github.com/opencode-ai/opencode@latest\n"
            "curl -fsSL https://x.ai/cli/install.sh\n"
            "curl -fsSL https://code.kimi.com/kimi-code/install.sh\n");
}

TEST_F(CliInstallTest, InstallerPastTheLimitIsStopped) {
  cli::set_install_limit_for_testing(std::chrono::milliseconds(1500));
  const std::string pid_file = home_.path() + "/npm.pid";
  testing::PidFileGuard guard{pid_file};
  write_script(tools_ + "/npm", "echo $$ > '" + pid_file + "'; echo working; exec /bin/sleep 60");
  EXPECT_EQ(install("codex").error(), "Installation failed: timed out installing codex");
  // The installer below the shell is stopped with it.
  EXPECT_TRUE(testing::process_gone(testing::pid_in(pid_file)));
}

}  // namespace
}  // namespace vessa::commands
