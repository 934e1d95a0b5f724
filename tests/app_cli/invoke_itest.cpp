// `vessa --invoke`: the headless command runner as a user runs it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "fixtures/temp_home.hpp"
#include "support/subprocess.hpp"

namespace vessa {
namespace {

proc::Output invoke(const std::vector<std::string>& args) {
  proc::Options o;
  o.argv = {VESSA_EXE};
  o.argv.insert(o.argv.end(), args.begin(), args.end());
  proc::RunOptions ro;
  ro.timeout = std::chrono::seconds(30);
  auto r = proc::run(o, ro);
  EXPECT_TRUE(r.has_value());
  return r ? *r : proc::Output{};
}

TEST(InvokeRunner, PingPrintsTheOutcomeLine) {
  auto r = invoke({"--invoke", "__ping"});
  EXPECT_EQ(r.out, "{\"ok\":true,\"value\":{\"ok\":true,\"shell\":\"swift\"}}\n");
  EXPECT_EQ(r.status.code, 0);
}

TEST(InvokeRunner, ConfigCommandsUseTheTemporaryHome) {
  vessa::testing::TempHome home;
  auto set = invoke({"--invoke", "config_set", R"({"key":"theme","value":{"dark":true}})"});
  EXPECT_EQ(set.out, "{\"ok\":true,\"value\":null}\n");
  auto get = invoke({"--invoke", "config_get", R"({"key":"theme"})"});
  EXPECT_EQ(get.out, "{\"ok\":true,\"value\":{\"dark\":true}}\n");
  EXPECT_TRUE(std::filesystem::exists(home.path() + "/.vessa/config.json"));
}

TEST(InvokeRunner, BadUsageExitsWithTwoAndExplains) {
  struct Case {
    std::vector<std::string> args;
    std::string why;
  };
  const Case cases[] = {
      {{"--invoke"}, "missing command name"},
      {{"--invoke", "__ping", "{not json"}, "ARGS_JSON is not valid JSON"},
      {{"--invoke", "__ping", "[1,2]"}, "ARGS_JSON must be a JSON object"},
      {{"--invoke", "__ping", "\"text\""}, "ARGS_JSON must be a JSON object"},
      {{"--invoke", "__ping", "{}", "extra"}, "unexpected argument after ARGS_JSON"},
  };
  for (const auto& c : cases) {
    auto r = invoke(c.args);
    EXPECT_EQ(r.status.code, 2) << c.why;
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(r.err.find(c.why), std::string::npos) << r.err;
  }
}

TEST(InvokeRunner, FailuresExitWithOneAndLogsGoToStandardError) {
  auto r = invoke({"--invoke", "no_such_command", "{}"});
  EXPECT_EQ(r.out.rfind("{\"ok\":false,\"error\":", 0), 0u) << r.out;
  EXPECT_EQ(r.status.code, 1);
  EXPECT_NE(r.err.find("[VessaMac] command not implemented: no_such_command"), std::string::npos);
}

}  // namespace
}  // namespace vessa
