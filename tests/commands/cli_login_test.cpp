// cli_login: the allow-list, the account-folder rules and the exact line the terminal runs.
#include "commands/cli_login.hpp"

#include <gtest/gtest.h>

#include "commands/command_registry.hpp"
#include "fixtures/cli_fakes.hpp"
#include "fixtures/helpers.hpp"

namespace vessa {
namespace {

using testing::FakeTerminal;
using testing::ScopedServices;

class CliLoginTest : public ::testing::Test {
 protected:
  void SetUp() override { install_terminal(std::make_shared<FakeTerminal>()); }
  void install_terminal(std::shared_ptr<FakeTerminal> t) {
    terminal_ = t;
    services_.reset();
    services_ = std::make_unique<ScopedServices>([t](platform::Services& s) { s.terminal = t; });
  }
  CommandResult login(const json& args) {
    return testing::dispatch_and_wait(*registry_, "cli_login", args);
  }
  std::string accounts() const { return home_.path() + "/.vessa/cli-accounts/"; }

  testing::TempHome home_;
  std::shared_ptr<FakeTerminal> terminal_;
  std::unique_ptr<ScopedServices> services_;
  std::shared_ptr<CommandRegistry> registry_ =
      std::make_shared<CommandRegistry>(std::weak_ptr<AppContext>());
};

TEST_F(CliLoginTest, AllowedCommandsRunExactlyAsWritten) {
  for (const char* command : {"claude auth login", "codex auth login", "codex login",
                              "gemini auth login", "grok", "grok login"}) {
    SCOPED_TRACE(command);
    auto r = login({{"command", command}});
    ASSERT_TRUE(r.ok()) << r.error();
    EXPECT_EQ(r.value(), "opened terminal");
    EXPECT_EQ(terminal_->lines.all().back(), command);
  }
}

TEST_F(CliLoginTest, CommandsOutsideTheAllowListAreRefusedBeforeAnythingStarts) {
  const json commands[] = {"claude auth logout",
                           "claude auth login ",
                           " grok",
                           "Claude auth login",
                           "grok; rm -rf ~",
                           "",
                           nullptr};
  for (const auto& command : commands) {
    SCOPED_TRACE(command.dump());
    EXPECT_EQ(login({{"command", command}}).error(), "cli_login: command not allowed");
  }
  EXPECT_FALSE(login(json::object()).ok());
  EXPECT_TRUE(terminal_->lines.all().empty());
}

TEST_F(CliLoginTest, AccountFolderSetsTheToolsVariableForThatCommandOnly) {
  struct Case {
    const char* command;
    std::string folder;
    const char* variable;
  };
  const Case cases[] = {
      {"claude auth login", accounts() + "claude/work", "CLAUDE_CONFIG_DIR"},
      {"codex login", accounts() + "codex/a", "CODEX_HOME"},
      {"grok login", accounts() + "grok/" + std::string(32, 'z'), "GROK_HOME"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    auto r = login({{"command", c.command}, {"accountDir", c.folder}});
    ASSERT_TRUE(r.ok()) << r.error();
    EXPECT_EQ(terminal_->lines.all().back(),
              "mkdir -p '" + c.folder + "' && " + c.variable + "='" + c.folder + "' " + c.command);
  }
}

TEST_F(CliLoginTest, AccountFoldersOutsideTheRulesAreRefused) {
  const std::string home = home_.path();
  struct Case {
    const char* command;
    std::string folder;
  };
  const Case cases[] = {
      {"codex login", accounts() + "claude/work"},         // another tool's folder
      {"claude auth login", accounts() + "claude/Work"},   // capital letter
      {"claude auth login", accounts() + "claude/-work"},  // leading hyphen
      {"claude auth login", accounts() + "claude/" + std::string(33, 'a')},
      {"claude auth login", accounts() + "claude/../../../etc"},  // parent steps
      {"claude auth login", accounts() + "claude/work/extra"},    // a second slash
      {"claude auth login", accounts() + "claudex/work"},
      {"claude auth login", home + "x/.vessa/cli-accounts/claude/work"},  // someone else's home
      {"claude auth login", "claude/work"},
      {"claude auth login", accounts() + "claude/wo'rk"},
      {"claude auth login", accounts() + "claude/work\n"},
      {"gemini auth login", accounts() + "gemini/work"},  // gemini has no account variable
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    EXPECT_EQ(login({{"command", c.command}, {"accountDir", c.folder}}).error(),
              "cli_login: accountDir not allowed");
  }
  EXPECT_TRUE(terminal_->lines.all().empty());
}

TEST_F(CliLoginTest, EmptyOrNonStringAccountFolderMeansNone) {
  for (const json& dir : {json(""), json(5), json(nullptr), json::array({"x"})}) {
    SCOPED_TRACE(dir.dump());
    auto r = login({{"command", "gemini auth login"}, {"accountDir", dir}});
    ASSERT_TRUE(r.ok()) << r.error();
    EXPECT_EQ(terminal_->lines.all().back(), "gemini auth login");
  }
}

TEST_F(CliLoginTest, TerminalLaunchFailuresAreReported) {
  install_terminal(std::make_shared<FakeTerminal>("No such file or directory"));
  EXPECT_EQ(login({{"command", "grok"}}).error(), "cli_login failed: No such file or directory");

  services_.reset();
  services_ = std::make_unique<ScopedServices>([](platform::Services& s) { s.terminal = nullptr; });
  EXPECT_EQ(login({{"command", "grok"}}).error().rfind("cli_login failed: ", 0), 0u);
}

TEST(LoginShellLine, HomeWithAQuoteStaysOneShellWord) {
  const std::string home = "/home/o'brien";
  const std::string folder = home + "/.vessa/cli-accounts/claude/work";
  auto line = cli::login_shell_line("claude auth login", folder, home + "/");
  ASSERT_TRUE(line) << line.error();
  const std::string quoted = "'/home/o'\\''brien/.vessa/cli-accounts/claude/work'";
  EXPECT_EQ(*line, "mkdir -p " + quoted + " && CLAUDE_CONFIG_DIR=" + quoted + " claude auth login");
}

}  // namespace
}  // namespace vessa
