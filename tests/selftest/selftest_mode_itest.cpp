// `vessa --selftest-commands` as a user runs it: the built bundle's executable as a child, with
// its own HOME, and the release manifest served locally.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "fixtures/http_server.hpp"
#include "fixtures/loopback.hpp"
#include "fixtures/temp_home.hpp"
#include "selftest/command_self_test.hpp"
#include "support/json.hpp"
#include "support/lines.hpp"
#include "support/subprocess.hpp"

namespace vessa::selftest {
namespace {

using testing::HttpServer;
namespace stdfs = std::filesystem;

// A loopback release host nothing listens on.
std::string closed_host() {
  return "http://127.0.0.1:" + std::to_string(testing::free_loopback_port());
}

struct SelfTestRun {
  std::string out;
  std::string err;
  int status = -1;
  std::vector<std::string> lines;
};

// Runs the self-test with a fresh HOME; the manifest URL defaults to a closed local port so no
// run reaches out to the network.
SelfTestRun run_selftest(const std::map<std::string, std::string>& env_extra = {},
                         const std::string& exe = VESSA_EXE) {
  testing::TempHome home;
  proc::Options o;
  o.argv = {exe, "--selftest-commands"};
  o.env = proc::current_environment();
  (*o.env)["VESSA_RELEASE_HOST"] = closed_host();
  for (const auto& [k, v] : env_extra) (*o.env)[k] = v;
  proc::RunOptions limit;
  limit.timeout = std::chrono::seconds(150);
  auto r = proc::run(o, limit);
  EXPECT_TRUE(r.has_value());
  if (!r) return {};
  EXPECT_FALSE(r->timed_out);
  return {r->out, r->err, r->status.exited ? r->status.code : -1, split_lines(r->out)};
}

std::string bundle_version() {
  auto info = read_json_file(std::string(VESSA_BUNDLE) + "/Info.json");
  return info ? info->value("CFBundleShortVersionString", "") : "";
}

// Every family is reached; the manifest line comes from the release host, before the probes.
TEST(SelfTestMode, HealthyBuildReachesEveryFamily) {
  HttpServer server;
  server.serve("/latest.json", R"({"version":"v9.8.7","notes":"x"})");
  SelfTestRun r = run_selftest({{"VESSA_RELEASE_HOST", server.root()}});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  ASSERT_EQ(r.lines.size(), 16u) << r.out;
  EXPECT_EQ(r.lines[0], "VessaMac command self-test (11 probes)");
  EXPECT_EQ(r.lines[1], "  bundle CFBundleShortVersionString: " + bundle_version());
  EXPECT_EQ(r.lines[2], "  127.0.0.1 latest.json version: v9.8.7");
  // The probe lines' format is the unit test's matter; the closing line says every one was
  // reached, and a family's own error still counts as reached.
  EXPECT_EQ(r.lines[7],
            "  \u2713 fs          read_obsidian_vault \u2192 handled-error: Not a folder: "
            "/nonexistent-selftest-path");
  EXPECT_TRUE(r.out.ends_with("\n\nAll probes reached a handler.\n")) << r.out;
}

// The families named are taken out of the chain: their commands, and only theirs, are
// reported unreachable, in probe order (the report's format is the unit tests' matter).
TEST(SelfTestMode, FamilyTakenOutOfTheChainIsReportedUnreachable) {
  SelfTestRun r = run_selftest({{"VESSA_SELFTEST_DISABLE_FAMILY", "handleSkyvern,handleAgent"}});
  EXPECT_EQ(r.status, 1) << r.out;
  const std::string agent = "  \u2717 agent       list_running_agents \u2192 UNWIRED";
  EXPECT_NE(std::find(r.lines.begin(), r.lines.end(), agent), r.lines.end()) << r.out;
  EXPECT_TRUE(
      r.out.ends_with("\n\nUNREACHABLE COMMANDS: list_running_agents, skyvern_status\n"
                      "Chain the owning handler in CommandRegistry.dispatch.\n"))
      << r.out;
}

TEST(SelfTestMode, OutsideABundleTheVersionIsNil) {
  testing::TempHome scratch;
  // The same executable, in a folder with no Info.json beside its parent.
  stdfs::path exe = stdfs::path(scratch.path()) / "loose" / "bin" / "vessa";
  stdfs::create_directories(exe.parent_path());
  stdfs::copy_file(VESSA_EXE, exe);
  SelfTestRun r = run_selftest({}, exe.string());
  ASSERT_GE(r.lines.size(), 2u) << r.out << r.err;
  EXPECT_EQ(r.lines[1], "  bundle CFBundleShortVersionString: nil \u2014 not running from a .app");
  EXPECT_EQ(r.status, 0) << r.out;
}

TEST(SelfTestMode, ManifestLineTable) {
  HttpServer server;
  server.serve("/ok", R"({"version":"1.4.2"})")
      .serve("/no-version", R"({"notes":"n"})")
      .serve("/array", R"([{"version":"1.0"}])")
      .serve("/gone", R"({"version":"3.0"})", 404);
  struct Case {
    std::string url;
    std::optional<std::string> line;
  };
  const Case cases[] = {
      {server.url("/ok"), "  127.0.0.1 latest.json version: 1.4.2"},
      {server.url("/no-version"), "  127.0.0.1 latest.json version: ?"},
      // Whatever body arrives is read; the status code is not examined.
      {server.url("/gone"), "  127.0.0.1 latest.json version: 3.0"},
      {server.url("/array"), std::nullopt},
      {closed_host() + "/latest.json", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(CommandSelfTest::manifest_line(c.url), c.line) << c.url;
}

}  // namespace
}  // namespace vessa::selftest
