// cli_detect against fake tools found through a fake login shell.
#include <gtest/gtest.h>

#include <chrono>

#include "commands/cli_lookup.hpp"
#include "commands/command_registry.hpp"
#include "fixtures/cli_fakes.hpp"
#include "fixtures/helpers.hpp"

namespace vessa {
namespace {

using testing::ScopedEnv;
using testing::write_script;

class CliDetectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tools_ = home_.path() + "/tools";
    std::filesystem::create_directories(tools_);
    shell_ = std::make_unique<ScopedEnv>(
        "SHELL",
        testing::write_fake_login_shell(home_.path() + "/login-shell", tools_ + ":/usr/bin:/bin"));
  }
  json detect() {
    auto r = testing::dispatch_and_wait(*registry_, "cli_detect", json::object(),
                                        std::chrono::seconds(40));
    EXPECT_TRUE(r.ok()) << r.error();
    return r.value();
  }

  testing::TempHome home_;
  std::string tools_;
  std::unique_ptr<ScopedEnv> shell_;
  std::shared_ptr<CommandRegistry> registry_ =
      std::make_shared<CommandRegistry>(std::weak_ptr<AppContext>());
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
  json got = detect();
  auto took = std::chrono::steady_clock::now() - started;

  EXPECT_EQ(got["claude"], (json{{"installed", true}, {"version", "claude 1.2.3 (Claude Code)"}}));
  EXPECT_EQ(got["codex"], (json{{"installed", true}, {"version", nullptr}}));
  EXPECT_EQ(got["opencode"], (json{{"installed", true}, {"version", "opencode 0.4"}}));
  EXPECT_EQ(got["gemini"], (json{{"installed", false}}));
  EXPECT_EQ(got["grok"], (json{{"installed", true}, {"version", "grok 0.9"}}));
  EXPECT_EQ(got["kimi"], (json{{"installed", true}, {"version", "kimi, version 0.9"}}));
  EXPECT_EQ(got["taskwright"], (json{{"installed", true}, {"version", "radaro 2.0 --version"}}));
  EXPECT_EQ(got.size(), 7u);
  EXPECT_GE(took, std::chrono::seconds(5));
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
  const std::string marker = home_.path() + "/ran";
  for (const char* name : {"claude;touch ran", "$(touch ran)", "", "-v", "a b"}) {
    EXPECT_EQ(cli::whichViaLoginShell(name), std::nullopt) << name;
  }
  EXPECT_FALSE(std::filesystem::exists(marker));
  write_script(tools_ + "/plain-tool_1.0", "exit 0");
  EXPECT_EQ(cli::whichViaLoginShell("plain-tool_1.0"), tools_ + "/plain-tool_1.0");
}

}  // namespace
}  // namespace vessa
