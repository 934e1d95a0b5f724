// Taskwright pieces without child processes.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "commands/taskwright/taskwright_eof_latch.hpp"
#include "commands/taskwright/taskwright_exec.hpp"
#include "commands/taskwright/taskwright_line_stream.hpp"
#include "commands/taskwright/taskwright_paths.hpp"
#include "commands/taskwright_test_support.hpp"

namespace vessa::commands {
namespace {

using testing::TaskwrightEnv;
using testing::write_file;
using Clock = std::chrono::steady_clock;

TEST(TaskwrightLineStream, SplitsDecodesAndFlushesAsTheInstallerOutputArrives) {
  const std::pair<std::vector<std::string>, std::vector<std::string>> cases[] = {
      {{"a\r\nb"}, {"a", "b"}},
      {{"hel", "lo\nwor", "ld\n"}, {"hello", "world"}},
      {{"\n\nx\n"}, {"", "", "x"}},
      {{"x\r\r\n"}, {"x\r"}},
      {{"ok\n\xff\xfe\nafter\n"}, {"ok", "after"}},  // an invalid line is dropped
      {{"caf\xc3", "\xa9\n"}, {"caf\xc3\xa9"}},
      {{"a\n\xc3"}, {"a"}},
  };
  for (const auto& [chunks, lines] : cases) {
    std::vector<std::string> got;
    TaskwrightLineStream stream([&](const std::string& line) { got.push_back(line); });
    for (const auto& chunk : chunks) stream.feed(chunk);
    stream.flush();
    stream.flush();  // a second flush delivers nothing more
    EXPECT_EQ(got, lines) << chunks[0];
  }
}

TEST(TaskwrightEOFLatch, OpensOnlyWhenBothStreamsEndedAndNeverGoesNegative) {
  TaskwrightEOFLatch latch;
  latch.stream_ended();
  EXPECT_FALSE(latch.wait_until(Clock::now() + std::chrono::milliseconds(20)));
  std::thread later([&] { latch.stream_ended(); });
  EXPECT_TRUE(latch.wait_until(Clock::now() + std::chrono::seconds(10)));
  later.join();
  latch.stream_ended();
  EXPECT_EQ(latch.remaining(), 0);
}

TEST(TaskwrightPaths, ReadsTheInstalledTag) {
  TaskwrightEnv env;
  const std::string file = env.tw_home() + "/.installed-version";
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"built=today\nupstream_tag= 1.2 \n", "1.2"},
      {"upstream_tag=\t v3 \t\nupstream_tag=v4\n", "v3"},
      {"upstream_tag=\n", ""},
      {"upstream_tag=v5\r\n", "v5"},
      {" upstream_tag=v6\n", std::nullopt},
      {"upstream_tag=\xff\n", std::nullopt},
  };
  for (const auto& [content, tag] : cases) {
    write_file(file, content);
    EXPECT_EQ(taskwright::readInstalledTag(), tag) << content;
  }
  std::filesystem::remove(file);
  EXPECT_EQ(taskwright::readInstalledTag(), std::nullopt);
}

TEST(TaskwrightPaths, LooksForTheInstallerInTheBundleThenTenFoldersUp) {
  testing::TempHome home;
  const std::string root = home.path() + "/tree", top = root + "/a/b/c/d/e/f/g/h/i";
  testing::ScopedExecutable running(top + "/bin/vessa");
  const std::string rel = "/apps/desktop/taskwright/install-taskwright.sh";

  EXPECT_EQ(taskwright::locateInstaller(), std::nullopt);
  // The executable's folder and its nine nearest ancestors are searched; the tenth is not.
  write_file(root + rel, "");
  EXPECT_EQ(taskwright::locateInstaller(), std::nullopt);
  write_file(root + "/a" + rel, "");
  EXPECT_EQ(taskwright::locateInstaller(), root + "/a" + rel);
  write_file(top + "/bin" + rel, "");
  EXPECT_EQ(taskwright::locateInstaller(), top + "/bin" + rel);
  // A bundle's own copy wins over a development checkout.
  write_file(top + "/Info.json", "{}");
  write_file(top + "/Resources/taskwright/install-taskwright.sh", "");
  EXPECT_EQ(taskwright::locateInstaller(), top + "/Resources/taskwright/install-taskwright.sh");
}

TEST(TaskwrightStatus, ReportsEachStateOfTheRuntimeHome) {
  TaskwrightEnv env;
  const std::string tw = env.tw_home();
  json fresh = json::parse(R"({"installed": false, "version": null, "binary_path": null,
      "supported_os": true, "install_incomplete": false})");
  fresh["install_path"] = tw;
  EXPECT_EQ(env.run("taskwright_status").value(), fresh);
  write_file(tw + "/bin/radaro", "", 0755);
  json installed = fresh;
  installed.update({{"installed", true}, {"binary_path", tw + "/bin/radaro"}});
  EXPECT_EQ(env.run("taskwright_status").value(), installed);  // no version without the tag
  write_file(tw + "/.installed-version", "upstream_tag=v9\n");
  EXPECT_EQ(env.run("taskwright_status").value()["version"], "v9");

  // Either marker of an unfinished install hides the program and its version.
  json unfinished = fresh;
  unfinished["install_incomplete"] = true;
  for (const std::string& marker : {env.marker(), tw + "/.install-incomplete"}) {
    write_file(marker, "");
    EXPECT_EQ(env.run("taskwright_status").value(), unfinished) << marker;
    std::filesystem::remove(marker);
  }
}

TEST(TaskwrightStorageInfo, ReportsSizesAndPathsOfTheDataFolder) {
  TaskwrightEnv env;
  const std::string data = env.tw_home() + "/home";
  json bare = json::parse(R"({"home_exists": false, "sessions_db_bytes": null,
      "memory_md_bytes": null, "user_md_bytes": null, "soul_md_path": null,
      "config_yaml_path": null})");
  bare["install_path"] = env.tw_home();
  bare["home_path"] = data;
  EXPECT_EQ(env.run("taskwright_storage_info").value(), bare);
  write_file(data + "/state.db", "");
  write_file(data + "/memories/MEMORY.md", "12345");
  write_file(data + "/SOUL.md", "soul");
  write_file(data + "/config.yaml", "a: 1\n");
  // Sizes follow symbolic links.
  write_file(env.home_.path() + "/elsewhere/user.md", "1234567");
  std::filesystem::create_symlink(env.home_.path() + "/elsewhere/user.md",
                                  data + "/memories/USER.md");
  // An empty database is 0 bytes, not null.
  json full = bare;
  full.update({{"home_exists", true},
               {"sessions_db_bytes", 0},
               {"memory_md_bytes", 5},
               {"user_md_bytes", 7},
               {"soul_md_path", data + "/SOUL.md"},
               {"config_yaml_path", data + "/config.yaml"}});
  EXPECT_EQ(env.run("taskwright_storage_info").value(), full);
}

TEST(TaskwrightExec, RefusesEveryWrongShapeBeforeAnyProcessStarts) {
  TaskwrightEnv env;
  const std::string not_installed =
      "Radaro binary not found at " + env.tw_home() + "/bin/radaro. Install Taskwright first.";
  const std::string empty = "taskwright_exec: args must not be empty";
  const std::string allowed =
      " is not allowlisted. Allowed: {\"--help\", \"--version\", \"config\", \"cron\", "
      "\"gateway\", \"memory\", \"sessions\", \"skills\", \"update\"}";
  const std::pair<json, std::string> cases[] = {
      {{{"args", {1, true, nullptr}}}, empty},
      {{{"args", {"rm", "-rf"}}}, "taskwright_exec: subcommand 'rm'" + allowed},
      {{{"args", {"Sessions"}}}, "taskwright_exec: subcommand 'Sessions'" + allowed},
      {{{"args", {"sessions", "delete"}}},
       "taskwright_exec: 'sessions delete' is not allowlisted. Allowed sub-verbs: {\"export\", "
       "\"list\", \"stats\"}"},
      // These pass the checks and stop only because nothing is installed.
      {{{"args", {1, "sessions", true, "list"}}}, not_installed},
      {{{"args", {"sessions", "--anything"}}}, not_installed},
      {{{"args", {"update", "whatever"}}}, not_installed},
  };
  for (const auto& [args, message] : cases) {
    EXPECT_EQ(env.run("taskwright_exec", args).error(), message) << args.dump();
  }
}

TEST(TaskwrightExec, ReadsAndClampsTheTimeout) {
  const std::pair<json, long long> cases[] = {
      {json::object(), 30000},
      {{{"timeout_ms", 1500.9}}, 1500},
      {{{"timeout_ms", 999999999}}, 300000},
      {{{"timeout_ms", 1e300}}, 300000},
      {{{"timeout_ms", -5}}, 0},
      {{{"timeout_ms", "abc"}, {"timeoutMs", 5000}}, 5000},
      {{{"timeout_ms", true}}, 30000},
      {{{"timeout_ms", 10}, {"timeoutMs", 20}}, 10},
  };
  for (const auto& [opts, ms] : cases) EXPECT_EQ(taskwright::exec_timeout_ms(opts), ms) << opts;
}

TEST(TaskwrightExec, TakesOnlyStringOverridesFromTheChosenKey) {
  using Env = std::map<std::string, std::string>;
  using Outcome = tl::expected<Env, std::string>;
  auto refused = [](const std::string& name) -> Outcome {
    return tl::unexpected("taskwright_exec: env override '" + name + "' is not allowed");
  };
  const std::pair<json, Outcome> cases[] = {
      {{{"env_overrides", {{"A", "1"}, {"B", 2}, {"C", nullptr}}}}, Env{{"A", "1"}}},
      {{{"envOverrides", {{"PATH", "/x"}}}}, Env{{"PATH", "/x"}}},
      // The snake-case key wins whatever its type; the other key is then not consulted.
      {{{"env_overrides", nullptr}, {"envOverrides", {{"A", "1"}}}}, Env{}},
      // Entries that would corrupt the environment block are refused, not silently dropped.
      {{{"env_overrides", {{"", "x"}, {"OK", "y"}}}}, refused("")},
      {{{"env_overrides", {{"A=B", "x"}}}}, refused("A=B")},
      {{{"env_overrides", {{"V", std::string("a\0b", 3)}}}}, refused("V")},
      // So are variables that make the loader or an interpreter run the page's code.
      {{{"env_overrides", {{"LD_PRELOAD", "/tmp/x.so"}}}}, refused("LD_PRELOAD")},
      {{{"env_overrides", {{"NODE_OPTIONS", "--require /tmp/x.js"}}}}, refused("NODE_OPTIONS")},
  };
  for (const auto& [opts, outcome] : cases) {
    EXPECT_EQ(taskwright::exec_env_overrides(opts), outcome) << opts;
  }
}

// An install that starts after its registry is gone gives up and frees the lock.
TEST(TaskwrightFamilies, InstallWithoutALiveRegistryAbortsAndReleasesTheLock) {
  testing::TempHome home;
  auto app = std::make_shared<testing::RecordingApp>();
  CommandRegistry unowned(app);  // no shared owner: it counts as already gone
  EXPECT_EQ(testing::dispatch_and_wait(unowned, "taskwright_install").error(),
            "Taskwright install aborted: app shutting down.");
  EXPECT_TRUE(app->events().empty());
  EXPECT_TRUE(testing::install_lock_free());
}

}  // namespace
}  // namespace vessa::commands
