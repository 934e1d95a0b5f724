// A login shell whose profile hangs must not hang the PATH lookup.
#include <gtest/gtest.h>

#include "executor/launch_environment.hpp"
#include "fixtures/scripts.hpp"

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

}  // namespace
}  // namespace vessa::launch
