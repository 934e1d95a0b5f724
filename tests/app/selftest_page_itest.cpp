// The in-page self-test of the real application under Xvfb: with VESSA_SELFTEST=1 its
// "SELFTEST: " line reports every family reached (that any other value runs none is AppLaunch's).
#include <gtest/gtest.h>

#include <optional>

#include "app/app_process_support.hpp"
#include "support/json.hpp"
#include "support/lines.hpp"

namespace vessa::testing {
namespace {

// The rest of the first log line holding `marker`, once it appears.
std::optional<std::string> wait_for_line(AppProcess& app, const std::string& marker,
                                         std::chrono::seconds limit) {
  wait_until([&] { return app.log().find(marker) != std::string::npos || !app.running(); }, limit);
  const std::string log = app.log();
  const auto at = log.find(marker);
  if (at == std::string::npos) return std::nullopt;
  return log.substr(at + marker.size(), log.find('\n', at) - at - marker.size());
}

TEST(InPageSelfTest, ReportsEveryFamilyReached) {
  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "needs an X display (run under xvfb-run)";
  AppProcess app("", {}, {{"VESSA_SELFTEST", "1"}});
  ASSERT_TRUE(app.started());
  auto text = wait_for_line(app, "[VessaMac] SELFTEST: ", 120s);
  ASSERT_TRUE(text.has_value()) << app.log();
  auto report = parse_json(*text);
  ASSERT_TRUE(report && report->is_object()) << *text;

  EXPECT_EQ((*report)["ping"], json({{"ok", true}, {"shell", "swift"}}));
  EXPECT_EQ((*report)["storeGet"], "v42");
  EXPECT_TRUE((*report)["notifPerm"].is_boolean()) << (*report)["notifPerm"];
  EXPECT_FALSE((*report)["cli"].is_null());

  struct Member {
    const char* name;
    const char* cmd;
    bool resolves;
  };
  const Member members[] = {
      {"git", "git_detect_tools", true},           {"fs", "read_obsidian_vault", false},
      {"agent", "list_running_agents", true},      {"convex", "convex_status", true},
      {"device", "get_device_identity", true},     {"taskwright", "taskwright_status", true},
      {"radaro", "taskwright_storage_info", true}, {"skyvern", "skyvern_status", true},
  };
  for (const auto& m : members) {
    const json& probe = (*report)[m.name];
    ASSERT_TRUE(probe.is_object()) << m.name << ": " << *text;
    EXPECT_EQ(probe["cmd"], m.cmd);
    EXPECT_EQ(probe["ok"], m.resolves) << m.name << ": " << probe.dump();
    if (!m.resolves) {
      // An ordinary error from the family, not the dispatcher's "not implemented".
      EXPECT_EQ(probe["error"], "Not a folder: /nonexistent-selftest") << probe.dump();
    } else {
      EXPECT_TRUE(probe.contains("value")) << probe.dump();
    }
  }
  EXPECT_EQ(app.log().find("not implemented"), std::string::npos) << app.log();
  auto stored = read_json_file(app.home() + "/.local/share/vessa.app/stores/selftest.json");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ((*stored)["k"], "v42");
}

}  // namespace
}  // namespace vessa::testing
