// Login-shell lookups: a profile that hangs, and an app started without SHELL.
#include <gtest/gtest.h>

#include <functional>

#include "commands/cli_install.hpp"
#include "commands/cli_lookup.hpp"
#include "fixtures/scripts.hpp"
#include "support/login_path.hpp"

namespace vessa::launch {
namespace {

TEST(EnrichedPathHangingShell, IsStoppedAndTheFixedListUsed) {
  testing::TempHome home;
  const std::string pid_file = home.path() + "/shell.pid";
  // The shell itself becomes the sleeper, so stopping it leaves nothing behind.
  testing::ScopedEnv shell(
      "SHELL",
      testing::write_script(home.path() + "/shell",
                            "echo $$ > '" + pid_file + "'; printf %s /never; exec /bin/sleep 60"));
  testing::ScopedEnv path("PATH", "/inherit/x");
  std::string result = enrichedPath();
  EXPECT_EQ(result.rfind("/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:", 0), 0u) << result;
  EXPECT_EQ(result.find("/never"), std::string::npos);
  EXPECT_TRUE(testing::process_gone(testing::pid_in(pid_file)));
}

// Started by cron or `env -i`, the app has no SHELL: every lookup still runs the account's own
// login shell (not a /bin/zsh that Debian lacks) and so still sees the user's login PATH.
TEST(LoginShellWithoutShellVariable, EveryCallerUsesTheAccountsShellAndItsLoginPath) {
  testing::TempHome home;
  testing::ScopedEnv shell("SHELL", std::nullopt);
  const std::string bin = home.path() + "/login-bin";
  const std::string tool = testing::write_script(bin + "/vessa-login-probe", "exit 0");
  // Read by every Bourne-style login shell (bash too, when it has no .bash_profile).
  testing::write_file(home.path() + "/.profile", "PATH=\"" + bin + ":$PATH\"\nexport PATH\n");
  struct Case {
    const char* caller;
    std::function<std::string()> run;
    std::string expected;
  };
  const Case cases[] = {
      {"whichViaLoginShell",
       [] { return commands::cli::whichViaLoginShell("vessa-login-probe").value_or("<none>"); },
       tool},
      {"enrichedPath",
       [] {
         auto path = enrichedPath();
         return path.substr(0, path.find(':'));
       },
       bin},
      {"runInstaller",
       [] {
         auto r = commands::cli::runInstaller("probe", "vessa-login-probe");
         return r.ok() ? r.value().get<std::string>() : r.error();
       },
       "Successfully installed probe"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.run(), c.expected) << c.caller;
}

}  // namespace
}  // namespace vessa::launch
