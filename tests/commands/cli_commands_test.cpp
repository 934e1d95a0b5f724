// cli_login, get_device_identity and the argument checks of cli_install, without child processes.
#include <gtest/gtest.h>

#include <filesystem>

#include "commands/cli_login.hpp"
#include "commands/commands_test_support.hpp"
#include "fixtures/cli_fakes.hpp"

namespace vessa::commands {
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
  CommandResult login(const json& args) { return commands_.run("cli_login", args); }
  std::string accounts() const { return home_.path() + "/.vessa/cli-accounts/"; }

  testing::TempHome home_;
  std::shared_ptr<FakeTerminal> terminal_;
  std::unique_ptr<ScopedServices> services_;
  testing::Commands commands_;
};

TEST_F(CliLoginTest, AllowedCommandsRunExactlyAsWrittenWithTheirAccountFolder) {
  const std::string claude = accounts() + "claude/work", codex = accounts() + "codex/a",
                    grok = accounts() + "grok/" + std::string(32, 'z');
  // The command, its accountDir argument and the line the terminal runs.
  const std::tuple<const char*, std::optional<json>, std::string> cases[] = {
      {"grok", std::nullopt, "grok"},
      // The tool's variable is set for that command only.
      {"claude auth login", claude,
       "mkdir -p '" + claude + "' && CLAUDE_CONFIG_DIR='" + claude + "' claude auth login"},
      {"codex login", codex, "mkdir -p '" + codex + "' && CODEX_HOME='" + codex + "' codex login"},
      {"grok login", grok, "mkdir -p '" + grok + "' && GROK_HOME='" + grok + "' grok login"},
      // An empty or non-string folder means none.
      {"gemini auth login", "", "gemini auth login"},
      {"gemini auth login", 5, "gemini auth login"},
  };
  std::vector<std::string> lines;
  for (const auto& [command, folder, line] : cases) {
    json args = {{"command", command}};
    if (folder) args["accountDir"] = *folder;
    EXPECT_EQ(commands_.ok("cli_login", args), "opened terminal");
    lines.push_back(line);
  }
  EXPECT_EQ(terminal_->lines.all(), lines);
}

// A command off the list, or a folder that is not this tool's own account folder.
TEST_F(CliLoginTest, RequestsOutsideTheRulesAreRefusedBeforeAnythingStarts) {
  const std::string claude = "claude auth login", home = home_.path();
  const std::pair<json, std::optional<std::string>> cases[] = {
      {"claude auth logout", std::nullopt},
      {"grok; rm -rf ~", std::nullopt},
      {nullptr, std::nullopt},
      {"codex login", accounts() + "claude/work"},  // another tool's folder
      {claude, accounts() + "claude/" + std::string(33, 'a')},
      {claude, accounts() + "claude/../../../etc"},
      {claude, accounts() + "claudex/work"},
      {claude, home + "x/.vessa/cli-accounts/claude/work"},  // someone else's home
      {claude, "claude/work"},
      {claude, accounts() + "claude/wo'rk"},
      {claude, accounts() + "claude/work\n"},
      {"gemini auth login", accounts() + "gemini/work"},  // gemini has no account variable
  };
  for (const auto& [command, folder] : cases) {
    json args = {{"command", command}};
    if (folder) args["accountDir"] = *folder;
    EXPECT_EQ(login(args).error(),
              folder ? "cli_login: accountDir not allowed" : "cli_login: command not allowed")
        << args.dump();
  }
  EXPECT_FALSE(login(json::object()).ok());
  EXPECT_TRUE(terminal_->lines.all().empty());
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

class DeviceCliTest : public ::testing::Test {
 protected:
  testing::TempHome home_;
  testing::Commands commands_;
};

TEST_F(DeviceCliTest, IdentityReportsUsableStoredValuesOnly) {
  // The file (nullptr: none) and the identity read from it.
  const std::tuple<const char*, json, json> cases[] = {
      {nullptr, nullptr, nullptr},
      {"{oops", nullptr, nullptr},
      {R"({"clientId": "unknown", "deviceName": "  Desk  "})", nullptr, "  Desk  "},
      {R"({"clientId": "Unknown", "deviceName": "   "})", "Unknown", nullptr},
      {R"({"clientId": "desktop"})", nullptr, nullptr},
      {R"({"clientId": "executor"})", "executor", nullptr},
      {R"({"clientId": 42, "deviceName": 7})", nullptr, nullptr},
      {R"({"clientId": "desktop-box-a1b2", "deviceName": "Box"})", "desktop-box-a1b2", "Box"},
  };
  const std::string config = home_.path() + "/.vessa/config.json";
  for (const auto& [content, client_id, device_name] : cases) {
    SCOPED_TRACE(content ? content : "(no file)");
    std::filesystem::remove(config);
    if (content) testing::write_file(config, content);
    EXPECT_EQ(commands_.ok("get_device_identity"),
              (json{{"clientId", client_id}, {"deviceName", device_name}}));
    // Reading never writes (the executor launch is what assigns an id).
    EXPECT_EQ(testing::read_file(config), content ? content : "");
    EXPECT_EQ(std::filesystem::exists(config), content != nullptr);
  }
}

TEST_F(DeviceCliTest, InstallRefusesMissingAndUnknownToolsAtOnce) {
  const std::pair<json, std::string> cases[] = {
      {json::object(), "cli_install: missing tool"},
      {{{"tool", "claude; rm -rf ~"}}, "Unknown tool: claude; rm -rf ~"},
  };
  for (const auto& [args, error] : cases) {
    SCOPED_TRACE(args.dump());
    std::optional<CommandResult> result;
    // Refusals complete before dispatch returns.
    commands_.registry->dispatch("cli_install", args,
                                 [&](CommandResult r) { result = std::move(r); });
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->error(), error);
  }
}

}  // namespace
}  // namespace vessa::commands
