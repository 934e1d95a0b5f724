// Docker discovery, bounded docker runs and the status snapshot against a fake docker.
#include <chrono>
#include <set>
#include <sstream>

#include "commands/skyvern/skyvern_docker.hpp"
#include "skyvern_fixture.hpp"

namespace vessa::skyvern {
namespace {

using testing::skyvern_fixture::Harness;
using testing::skyvern_fixture::SkyvernEnv;

TEST(SkyvernDocker, ConfiguredProgramIsUsedUncheckedAndReportedMissing) {
  SkyvernEnv env;
  const std::string missing = env.home() + "/no/such/docker";
  env.use_docker(missing);
  EXPECT_EQ(skyvernDockerBin(), missing);
  EXPECT_FALSE(skyvernDockerOnPath());
  EXPECT_FALSE(skyvernDockerRunning());  // cannot start: counts as not running
  testing::write_file(env.settings_dir() + "/skyvern.env",
                      "SKYVERN_PORT=8123\nSKYVERN_API_KEY=k\n");
  EXPECT_EQ(skyvernStatusSnapshot(), json({{"docker_available", false},
                                           {"docker_running", false},
                                           {"container_exists", false},
                                           {"container_running", false},
                                           {"endpoint", "http://localhost:8123"},
                                           {"has_api_key", true},
                                           {"supported_os", true}}));
}

TEST(SkyvernDocker, BareProgramNameRunsThroughEnvOnTheSearchPath) {
  SkyvernEnv env;
  env.use_docker("docker");
  proc::Options o = skyvernDockerProcess({"ps", "-a"});
  EXPECT_EQ(o.argv, (std::vector<std::string>{"/usr/bin/env", "docker", "ps", "-a"}));
  ASSERT_TRUE(o.env);
  EXPECT_EQ(o.env->at("PATH"), skyvernPath());
  EXPECT_EQ(o.env->at("HOME"), env.home());
  // The fake's folder reaches the search path through the inherited PATH.
  testing::skyvern_fixture::ScopedPathEnv path("PATH", env.home() + "/fake:/usr/bin:/bin");
  EXPECT_TRUE(skyvernDockerOnPath());
}

TEST(SkyvernDocker, SearchPathHasEachFolderOnceAndIsKept) {
  SkyvernEnv env;
  resetSkyvernPathForTesting();
  const std::string path = skyvernPath();
  std::vector<std::string> pieces;
  std::stringstream in(path);
  for (std::string piece; std::getline(in, piece, ':');) pieces.push_back(piece);
  std::set<std::string> unique(pieces.begin(), pieces.end());
  EXPECT_EQ(unique.size(), pieces.size()) << "repeated folder in " << path;
  EXPECT_EQ(unique.count(""), 0U);
  EXPECT_EQ(unique.count(env.home() + "/.docker/bin"), 1U);
  testing::TempHome other;  // computed once: a later HOME does not change it
  EXPECT_EQ(skyvernPath(), path);
  resetSkyvernPathForTesting();
}

TEST(SkyvernDocker, StatusReadsTheFirstStateLine) {
  struct Case {
    int ps_code;
    std::string ps_out;
    bool exists;
    bool running;
  };
  const Case cases[] = {
      {0, "  Running \n", true, true},
      {0, "exited\n", true, false},
      {0, "exited\nrunning\n", true, false},
      {0, "", false, false},
      {0, " \n\n", false, false},
      {1, "running\n", false, false},
      {0, "running\xff\n", false, false},  // undecodable
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ps_out);
    SkyvernEnv env;
    env.answer("ps", c.ps_code, c.ps_out);
    json s = skyvernStatusSnapshot();
    EXPECT_TRUE(s["docker_available"] && s["docker_running"]);
    EXPECT_EQ(s["container_exists"], c.exists);
    EXPECT_EQ(s["container_running"], c.running);
    EXPECT_EQ(env.calls(), (std::vector<std::string>{
                               "info", "ps -a --filter name=vessa-skyvern --format {{.State}}"}));
  }
}

TEST(SkyvernDocker, StoppedDaemonSkipsTheContainerQuery) {
  SkyvernEnv env;
  env.answer("info", 1);
  env.answer("ps", 0, "running\n");
  testing::write_file(env.settings_dir() + "/skyvern.env", "SKYVERN_PORT=8000\n");
  json s = Harness().run("skyvern_status").value();  // also the page's route to it
  EXPECT_TRUE(s["docker_available"]);
  EXPECT_FALSE(s["docker_running"] || s["container_exists"] || s["container_running"]);
  EXPECT_EQ(s["endpoint"], "http://localhost:8000");
  EXPECT_EQ(s["has_api_key"], false);
  EXPECT_EQ(env.calls(), std::vector<std::string>{"info"});
}

TEST(SkyvernDocker, HangingDockerIsStoppedEvenWhenItIgnoresTerm) {
  SkyvernEnv env;
  env.hang("info", /*ignore_term=*/true);
  auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(skyvernRun(skyvernDockerProcess({"info"}), 0.5));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_TRUE(testing::process_gone(testing::pid_in(env.fake_file("info.pid"))));
}

}  // namespace
}  // namespace vessa::skyvern
