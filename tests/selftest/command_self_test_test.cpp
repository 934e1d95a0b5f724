// The self-test's outcome table and its run over a registry whose families are stand-ins (fast,
// and each failure mode on demand).
#include "selftest/command_self_test.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "commands/command_registry.hpp"
#include "fixtures/helpers.hpp"
#include "fixtures/scripts.hpp"

namespace vessa::selftest {

using commands::AppContext;
using commands::CommandRegistry;
using commands::CommandResult;
using commands::Completion;

namespace {

using namespace std::chrono_literals;

TEST(CommandSelfTest, OutcomeTable) {
  const std::string long_error(100, 'e');
  struct Case {
    CommandResult result;
    bool reached;
    std::string detail;
  };
  const Case cases[] = {
      {CommandResult::success(json{{"a", 1}}), true, "ok"},
      {CommandResult::failure("command not implemented in the Swift shell yet: x"), false,
       "UNWIRED"},
      {CommandResult::failure("Not a folder: /x"), true, "handled-error: Not a folder: /x"},
      {CommandResult::failure(long_error), true, "handled-error: " + std::string(60, 'e')},
      // Sixty characters, not sixty bytes, and never half of one.
      {CommandResult::failure(std::string(59, 'a') + "\u00e9\u00e9\u00e9"), true,
       "handled-error: " + std::string(59, 'a') + "\u00e9"},
      {CommandResult::failure(std::string(58, 'a') + "\xff\xfe"), true,
       "handled-error: " + std::string(58, 'a') + "\ufffd\ufffd"},
  };
  for (const auto& c : cases) {
    auto o = CommandSelfTest::outcome_of(c.result);
    EXPECT_EQ(o.reached, c.reached) << c.result.error();
    EXPECT_EQ(o.detail, c.detail);
  }
}

// Every family is a stand-in: one answers the probe commands with success, except the two
// left unwired and convex_status, which stays silent past its probe's time limit.
TEST(CommandSelfTest, UnwiredAndSilentFamiliesAreListedInProbeOrder) {
  auto registry = std::make_shared<CommandRegistry>(std::weak_ptr<AppContext>{});
  for (const char* family : testing::kFamilyNames) {
    registry->set_family_disabled_for_testing(family, true);
  }
  std::set<std::string> answered;
  for (const auto& p : CommandSelfTest::probes()) answered.insert(p.command);
  // Unwired, and the real built-ins.
  for (const char* cmd : {"git_detect_tools", "skyvern_status", "__ping", "config_get"}) {
    answered.erase(cmd);
  }
  std::thread late;
  std::atomic<bool> next_probe_sent{false};
  registry->set_family_override_for_testing(
      "handleNative", [&](const std::string& cmd, const json&, const Completion& done) {
        if (cmd == "convex_status") {
          // Answers only after the probe gave up (the next one has gone out): the report must
          // keep "TIMEOUT".
          late = std::thread([done, &next_probe_sent] {
            testing::wait_until([&] { return next_probe_sent.load(); });
            done(CommandResult::success());
          });
          return true;
        }
        if (cmd == "get_device_identity") next_probe_sent = true;
        if (!answered.count(cmd)) return false;
        done(CommandResult::success(json::array()));
        return true;
      });
  CommandSelfTest::Options quick;
  quick.probe_timeout = 300ms;
  std::string report;
  EXPECT_EQ(CommandSelfTest::run(*registry, report, quick), 1);
  late.join();
  EXPECT_NE(report.find("  \u2717 git         git_detect_tools \u2192 UNWIRED\n"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("  \u2717 convex      convex_status \u2192 TIMEOUT\n"), std::string::npos)
      << report;
  EXPECT_NE(report.find("  \u2713 agent       list_running_agents \u2192 ok\n"), std::string::npos);
  const std::string tail =
      "\nUNREACHABLE COMMANDS: git_detect_tools, convex_status, skyvern_status\n"
      "Chain the owning handler in CommandRegistry.dispatch.\n";
  ASSERT_GE(report.size(), tail.size());
  EXPECT_EQ(report.substr(report.size() - tail.size()), tail);
}

}  // namespace
}  // namespace vessa::selftest
