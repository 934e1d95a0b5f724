// cli_install through a fake login shell with fake installers on its PATH.
#include <gtest/gtest.h>

#include "commands/cli_install.hpp"
#include "commands/command_registry.hpp"
#include "fixtures/cli_fakes.hpp"
#include "fixtures/helpers.hpp"

namespace vessa {
namespace {

using testing::ScopedEnv;
using testing::write_script;

class CliInstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tools_ = home_.path() + "/tools";
    shell_ = std::make_unique<ScopedEnv>(
        "SHELL", testing::write_fake_login_shell(home_.path() + "/login-shell", tools_ + ":$PATH"));
  }
  void TearDown() override { cli::set_install_limit_for_testing(std::nullopt); }
  CommandResult install(const std::string& tool) {
    return testing::dispatch_and_wait(*registry_, "cli_install", {{"tool", tool}});
  }

  testing::TempHome home_;
  std::string tools_;
  std::unique_ptr<ScopedEnv> shell_;
  std::shared_ptr<CommandRegistry> registry_ =
      std::make_shared<CommandRegistry>(std::weak_ptr<AppContext>());
};

TEST_F(CliInstallTest, OutcomesAndTheirMessages) {
  struct Case {
    const char* npm_body;
    bool ok;
    std::string message;
  };
  const Case cases[] = {
      {"echo '  npm ERR! code E404  '; echo 'npm ERR! 404 Not Found'; exit 1", false,
       "Installation failed: npm ERR! code E404  \nnpm ERR! 404 Not Found"},
      {"exit 127", false, "Installation failed: exit code 127"},
      {"echo 'npm WARN deprecated glob@7' >&2; echo added 1 package; exit 0", true,
       "Successfully installed claude"},
      {"printf '\\377\\376' >&2; echo readable; exit 2", false, "Installation failed: readable"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.npm_body);
    write_script(tools_ + "/npm", c.npm_body);
    auto r = install("claude");
    EXPECT_EQ(r.ok(), c.ok);
    EXPECT_EQ(c.ok ? r.value().get<std::string>() : r.error(), c.message);
  }
}

TEST_F(CliInstallTest, EachToolRunsItsPublishedCommandWithTheEnrichedPath) {
  const std::string log = home_.path() + "/calls";
  for (const char* prog : {"npm", "go", "curl"}) {
    write_script(tools_ + "/" + prog,
                 std::string("echo \"") + prog + " $*\" >> '" + log +
                     "'\n"
                     "case \"$PATH\" in *'" +
                     home_.path() +
                     "/.bun/bin'*) ;; *) exit 9;; esac\n"
                     "[ \"$(cat)\" = '' ] || exit 8\n" +
                     (std::string(prog) == "curl" ? "echo 'echo piped-to-bash >&2'" : "true"));
  }
  for (const char* tool : {"claude", "codex", "opencode", "grok", "kimi"}) {
    auto r = install(tool);
    ASSERT_TRUE(r.ok()) << tool << ": " << r.error();
    EXPECT_EQ(r.value(), std::string("Successfully installed ") + tool);
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
  write_script(tools_ + "/npm", "echo $$ > '" + pid_file + "'; echo working; exec /bin/sleep 60");
  auto r = install("codex");
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.error(), "Installation failed: timed out installing codex");
  // The installer below the shell is stopped with it.
  testing::PidFileGuard guard{pid_file};
  EXPECT_TRUE(testing::process_gone(testing::pid_in(pid_file)));
}

TEST_F(CliInstallTest, ShellThatCannotStart) {
  ScopedEnv shell("SHELL", home_.path() + "/no-such-shell");
  EXPECT_EQ(install("claude").error(), "Failed to run installer: No such file or directory");
}

}  // namespace
}  // namespace vessa
