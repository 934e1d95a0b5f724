// Docker discovery, bounded docker runs and the status snapshot against a fake docker.
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <set>

#include "commands/skyvern/skyvern_docker.hpp"
#include "skyvern_fixture.hpp"

namespace vessa::skyvern {
namespace {

using testing::skyvern_fixture::Harness;
using testing::skyvern_fixture::SkyvernEnv;

TEST(SkyvernDocker, ConfiguredProgramIsUsedUncheckedAndReportedMissing) {
  SkyvernEnv env;
  const std::string missing = env.home() + "/no/such/docker";
  ::setenv("VESSA_DOCKER_BIN", missing.c_str(), 1);
  EXPECT_EQ(skyvernDockerBin(), missing);
  EXPECT_FALSE(skyvernDockerOnPath());
  EXPECT_FALSE(skyvernDockerRunning());  // cannot start: counts as not running

  testing::write_file(env.settings_dir() + "/skyvern.env",
                      "SKYVERN_PORT=8123\nSKYVERN_API_KEY=k\n");
  json s = skyvernStatusSnapshot();
  EXPECT_EQ(s, json({{"docker_available", false},
                     {"docker_running", false},
                     {"container_exists", false},
                     {"container_running", false},
                     {"endpoint", "http://localhost:8123"},
                     {"has_api_key", true},
                     {"supported_os", true}}));
}

TEST(SkyvernDocker, BareProgramNameRunsThroughEnvOnTheSearchPath) {
  SkyvernEnv env;
  ::setenv("VESSA_DOCKER_BIN", "docker", 1);
  proc::Options o = skyvernDockerProcess({"ps", "-a"});
  EXPECT_EQ(o.argv, (std::vector<std::string>{"/usr/bin/env", "docker", "ps", "-a"}));
  ASSERT_TRUE(o.env);
  EXPECT_EQ(o.env->at("PATH"), skyvernPath());
  EXPECT_EQ(o.env->at("HOME"), env.home());

  ::setenv("VESSA_DOCKER_BIN", env.docker().c_str(), 1);
  EXPECT_EQ(skyvernDockerProcess({"info"}).argv, (std::vector<std::string>{env.docker(), "info"}));
}

TEST(SkyvernDocker, ShellLookupFindsDockerOnTheSearchPath) {
  SkyvernEnv env;
  // The fake's folder reaches the search path through the inherited PATH.
  const char* old_path = std::getenv("PATH");
  testing::skyvern_fixture::ScopedEnv path(
      "PATH", env.home() + "/fake:" + (old_path != nullptr ? old_path : ""));
  ::setenv("VESSA_DOCKER_BIN", "docker", 1);
  EXPECT_TRUE(skyvernDockerOnPath());
}

TEST(SkyvernDocker, SearchPathStartsWithDockerFoldersAndIsKept) {
  SkyvernEnv env;
  resetSkyvernPathForTesting();
  const std::string path = skyvernPath();
  const std::string head = "/opt/homebrew/bin:/usr/local/bin:" + env.home() +
                           "/.docker/bin:/Applications/Docker.app/Contents/Resources/bin:"
                           "/opt/homebrew/sbin:";
  EXPECT_EQ(path.rfind(head, 0), 0U) << path;
  std::vector<std::string> pieces;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = std::min(path.find(':', start), path.size());
    pieces.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  std::set<std::string> unique(pieces.begin(), pieces.end());
  EXPECT_EQ(unique.size(), pieces.size()) << "repeated folder in " << path;
  EXPECT_EQ(unique.count(""), 0U);
  EXPECT_EQ(unique.count("/usr/sbin"), 1U);

  // Computed once: a later HOME does not change it.
  testing::TempHome other;
  EXPECT_EQ(skyvernPath(), path);
  resetSkyvernPathForTesting();
}

TEST(SkyvernDocker, StatusReadsTheFirstStateLine) {
  struct Case {
    const char* name;
    int ps_code;
    std::string ps_out;
    bool exists;
    bool running;
  };
  const std::vector<Case> cases = {
      {"running", 0, "running\n", true, true},
      {"any case", 0, "  Running \n", true, true},
      {"exited", 0, "exited\n", true, false},
      {"only the first line counts", 0, "exited\nrunning\n", true, false},
      {"no container", 0, "", false, false},
      {"blank output", 0, " \n\n", false, false},
      {"ps fails", 1, "running\n", false, false},
      {"undecodable output", 0, "running\xff\n", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SkyvernEnv env;
    env.answer("info", 0);
    env.answer("ps", c.ps_code, c.ps_out);
    json s = skyvernStatusSnapshot();
    EXPECT_TRUE(s["docker_available"]);
    EXPECT_TRUE(s["docker_running"]);
    EXPECT_EQ(s["container_exists"], c.exists);
    EXPECT_EQ(s["container_running"], c.running);
    EXPECT_EQ(s["endpoint"], nullptr);
    EXPECT_EQ(s["has_api_key"], false);
    EXPECT_EQ(env.calls(), (std::vector<std::string>{
                               "info", "ps -a --filter name=vessa-skyvern --format {{.State}}"}));
  }
}

TEST(SkyvernDocker, StoppedDaemonSkipsTheContainerQuery) {
  SkyvernEnv env;
  env.answer("info", 1);
  env.answer("ps", 0, "running\n");
  json s = skyvernStatusSnapshot();
  EXPECT_TRUE(s["docker_available"]);
  EXPECT_FALSE(s["docker_running"]);
  EXPECT_FALSE(s["container_exists"]);
  EXPECT_FALSE(s["container_running"]);
  EXPECT_EQ(env.calls(), std::vector<std::string>{"info"});
}

bool process_gone(const std::string& pid_file) {
  pid_t pid = std::atoi(testing::read_file(pid_file).c_str());
  return pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH;
}

TEST(SkyvernDocker, HangingDockerIsStoppedEvenWhenItIgnoresTerm) {
  for (bool ignore_term : {false, true}) {
    SCOPED_TRACE(ignore_term ? "ignores SIGTERM" : "honours SIGTERM");
    SkyvernEnv env;
    env.hang("info", ignore_term);
    auto started = std::chrono::steady_clock::now();
    auto r = skyvernRun(skyvernDockerProcess({"info"}), 0.5);
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_FALSE(r);
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_TRUE(process_gone(env.fake_file("info.pid")));
  }
}

TEST(SkyvernDocker, StatusCommandAnswersThroughTheRegistry) {
  SkyvernEnv env;
  env.answer("info", 0);
  env.answer("ps", 0, "running\n");
  testing::write_file(env.settings_dir() + "/skyvern.env", "SKYVERN_PORT=8000\n");
  Harness h;
  CommandResult r = h.run("skyvern_status");
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(r.value()["container_running"], true);
  EXPECT_EQ(r.value()["endpoint"], "http://localhost:8000");
  EXPECT_EQ(r.value()["has_api_key"], false);
  EXPECT_EQ(r.value().size(), 7U);
}

}  // namespace
}  // namespace vessa::skyvern
