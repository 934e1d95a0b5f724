// The family chain, the built-ins, the exception firewall and the configuration file.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string_view>
#include <thread>

#include "commands/background.hpp"
#include "commands/commands_test_support.hpp"
#include "fixtures/recording_app.hpp"

namespace vessa::commands {
namespace {

using testing::read_file;
using testing::write_file;

// A registry without an application, made after the fresh home it keeps the configuration in.
struct RegistryTest : ::testing::Test,
                      testing::HomeAndApp<testing::RecordingApp>,
                      testing::Commands {
  std::string config() const { return home_.path() + "/.vessa/config.json"; }
};

TEST_F(RegistryTest, FamiliesAreOfferedInOrderUntilOneClaims) {
  const auto& names = testing::kFamilyNames;
  auto families_before = [&](std::string_view family) {
    return static_cast<size_t>(std::find(std::begin(names), std::end(names), family) -
                               std::begin(names));
  };
  std::vector<std::string> offered;
  for (const char* name : names) {
    registry->set_family_override_for_testing(
        name,
        [&, name = std::string(name)](const std::string& cmd, const json&, const Completion& done) {
          offered.push_back(name);
          if (cmd == "claim-at-" + name) {
            done(CommandResult::success(name));
            return true;
          }
          return false;
        });
  }
  EXPECT_EQ(ok("claim-at-handleFs"), "handleFs");
  EXPECT_EQ(offered,
            std::vector<std::string>(std::begin(names), names + families_before("handleFs") + 1));
  offered.clear();
  EXPECT_EQ(ok("__ping", {{"ignored", true}}), (json{{"ok", true}, {"shell", "swift"}}));
  // Every family declined before the built-in answered.
  EXPECT_EQ(offered.size(), std::size(names));
  offered.clear();
  // A family that claims a built-in's name shadows it.
  registry->set_family_override_for_testing(
      "handleSkyvern", [](const std::string& cmd, const json&, const Completion& done) {
        if (cmd != "__ping") return false;
        done(CommandResult::success("shadowed"));
        return true;
      });
  EXPECT_EQ(ok("__ping"), "shadowed");
  // Only the families before it were offered the command.
  EXPECT_EQ(offered.size(), families_before("handleSkyvern"));
}

TEST_F(RegistryTest, ThrowingFamilyBecomesAFailureAndExtraCompletionsAreDropped) {
  testing::LogCapture logs;
  registry->set_family_override_for_testing(
      "handleGit", [](const std::string& cmd, const json&, const Completion& done) {
        if (cmd == "throws") throw std::runtime_error("kaput");
        if (cmd == "twice") {
          done(CommandResult::success(1));
          done(CommandResult::success(2));
          return true;
        }
        return false;
      });
  EXPECT_EQ(fails("throws"), "throws: internal error: kaput");
  int calls = 0;
  registry->dispatch("twice", json::object(), [&](const CommandResult& res) {
    ++calls;
    EXPECT_EQ(res.value(), 1);
  });
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(logs.contains("[VessaMac] completion called twice for twice"));
}

// Each row's family moves its work to the pool; a fault there must still settle the page's
// promise, and free the install gates it holds.
TEST_F(RegistryTest, ThrowingBackgroundWorkSettlesWithTheInternalError) {
  const std::pair<const char*, json> rows[] = {
      {"git_scan_repos", json::object()},
      {"plugin:notification|notify", {{"title", "t"}}},
      {"cli_detect", json::object()},
      {"git_status", {{"path", "/tmp"}}},
      {"read_obsidian_vault", {{"path", "/tmp"}}},
      {"list_running_agents", json::object()},
      {"convex_status", json::object()},
      {"get_device_identity", json::object()},
      {"cli_install", {{"tool", "claude"}}},
      {"taskwright_install", json::object()},
      {"taskwright_reset", json::object()},
      {"taskwright_exec", {{"args", {"--version"}}}},
      {"skyvern_install", json::object()},
      {"skyvern_status", json::object()},
  };
  // The second round is refused ("in progress") if the first left a gate closed.
  for (int round = 0; round < 2; ++round) {
    for (const auto& [cmd, args] : rows) {
      background::throw_in_next_job_for_testing("forced");
      EXPECT_EQ(run(cmd, args, std::chrono::seconds(5)).error(),
                std::string(cmd) + ": internal error: forced")
          << "round " << round;
    }
  }
}

TEST_F(RegistryTest, UnclaimedCommandsFailAndAreLogged) {
  testing::LogCapture logs;
  for (const std::string cmd : {"nope", "__PING", "config_get "}) {
    EXPECT_EQ(fails(cmd), "command not implemented in the Swift shell yet: " + cmd);
    EXPECT_TRUE(logs.contains("[VessaMac] command not implemented: " + cmd));
  }
}

TEST_F(RegistryTest, ConfigSetAndGetRoundTrip) {
  EXPECT_EQ(ok("config_get"), nullptr);  // "" key, fresh
  EXPECT_EQ(fails("config_set", {{"key", 1}}), "config_set: missing key");
  EXPECT_FALSE(std::filesystem::exists(home_.path() + "/.vessa"));

  EXPECT_EQ(ok("config_set", {{"key", "b"}, {"value", {1, "x"}}}), nullptr);
  ok("config_set", {{"key", "a"}, {"value", "caf\xC3\xA9"}});
  ok("config_set", {{"key", ""}, {"value", false}});
  ok("config_set", {{"key", "nul"}});  // no value: stored as null

  EXPECT_EQ(ok("config_get", {{"key", "b"}}), json({1, "x"}));
  EXPECT_EQ(ok("config_get", {{"key", 5}}), false);  // "" key
  EXPECT_EQ(ok("config_get", {{"key", "nul"}}), nullptr);
  EXPECT_EQ(read_file(config()),
            "{\n  \"\": false,\n  \"a\": \"caf\xC3\xA9\",\n  \"b\": [\n    1,\n    \"x\"\n  ],\n"
            "  \"nul\": null\n}");
}

TEST_F(RegistryTest, DamagedConfigFilesReadAsEmptyAndAreReplaced) {
  const std::string contents[] = {"[1,2,3]", "{\"a\":"};
  for (const auto& content : contents) {
    write_file(config(), content);
    EXPECT_EQ(ok("config_get", {{"key", "a"}}), nullptr);
    ok("config_set", {{"key", "k"}, {"value", 1}});
    EXPECT_EQ(json::parse(read_file(config())), (json{{"k", 1}}));
  }
}

// The file also holds the executor's secret: one that exists but cannot be read used to be
// replaced by an object holding the one new key. Which files cannot be loaded (folders, FIFOs,
// nesting) is the store tests': the two share the loader.
TEST_F(RegistryTest, ConfigFilesThatCannotBeLoadedAreNeverReplaced) {
  const std::string deep =
      "{\"executorSecret\":" + std::string(600, '[') + std::string(600, ']') + "}";
  write_file(config(), deep);
  EXPECT_EQ(ok("config_get", {{"key", "k"}}), nullptr);
  const std::string error = fails("config_set", {{"key", "k"}});
  EXPECT_EQ(error.rfind("config_set: " + config() + " could not be loaded (", 0), 0u) << error;
  EXPECT_NE(error.find("nested deeper"), std::string::npos) << error;
  EXPECT_EQ(read_file(config()), deep);
}

TEST_F(RegistryTest, LargeConfigFileIsHandled) {
  json big = json::object();
  std::string filler(1000, 'x');
  for (int i = 0; i < 50000; ++i) big["k" + std::to_string(i)] = filler;  // ~50 MB
  write_file(config(), big.dump());
  EXPECT_EQ(ok("config_get", {{"key", "k49999"}}), filler);
  ok("config_set", {{"key", "new"}, {"value", 1}});
  EXPECT_EQ(ok("config_get", {{"key", "new"}}), 1);
}

TEST_F(RegistryTest, ConcurrentConfigSetsInThisProcessKeepEveryKey) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        registry->dispatch("config_set",
                           {{"key", "t" + std::to_string(t) + "-" + std::to_string(i)}},
                           [](const CommandResult&) {});
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(registry->readConfig().size(), 100u);
}

}  // namespace
}  // namespace vessa::commands
