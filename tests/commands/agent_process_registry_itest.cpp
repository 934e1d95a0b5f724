// Agent processes against a fake `npx` first on PATH (it runs the given script with /bin/sh).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "commands/agents/agent_leftovers.hpp"
#include "commands/agents/agent_process_registry.hpp"
#include "commands/commands_test_support.hpp"
#include "fixtures/scripts.hpp"
#include "support/lifecycle.hpp"
#include "support/subprocess.hpp"

namespace vessa::commands {
namespace {

using namespace std::chrono_literals;
using testing::read_file;
using testing::write_file;

using testing::alive;
using testing::wait_until;

pid_t pid_of(const std::string& started_message) {
  auto at = started_message.rfind(' ');
  return static_cast<pid_t>(std::stol(started_message.substr(at + 1)));
}

class AgentRegistryTest : public ::testing::Test, protected testing::Commands {
 protected:
  void SetUp() override {
    // Fake npx: checks it was asked for tsx, then runs the script with its arguments.
    testing::write_script(bin_ + "/npx", "[ \"$1\" = tsx ] || exit 99\nshift\nexec /bin/sh \"$@\"");
    // Fake login shell: the real one would reset PATH from /etc/profile and find the real npx.
    shell_.emplace("SHELL", testing::write_script(bin_ + "/login-sh",
                                                  "[ \"$1\" = -l ] && shift\nexec /bin/sh \"$@\""));
    path_.emplace("PATH", bin_ + ":" + std::getenv("PATH"));
  }

  void TearDown() override {
    // Whatever a test left running is killed here, also when an assertion failed.
    AgentProcessRegistry::shared()->killAllOnExit();
    for (auto& r : own_) r->killAllOnExit();
    for (pid_t pid : started_) {
      EXPECT_TRUE(wait_until([&] { return !alive(pid); }, 3s)) << "left behind: " << pid;
    }
  }

  // A script that reports its arguments, folder and PATH to its log, then runs `body`.
  std::string script(const std::string& name, const std::string& body) {
    return write_file(
        root_ + "/scripts/" + name + ".sh",
        "echo \"args: $*\"\necho \"cwd: $(pwd)\"\necho \"path: $PATH\"\n" + body + "\n");
  }

  CommandResult start(const std::string& id, const std::string& script_path) {
    auto r = run("start_agent", {{"agentId", id}, {"scriptPath", script_path}});
    if (r.ok()) started_.push_back(pid_of(r.value().get<std::string>()));
    return r;
  }

  std::shared_ptr<AgentProcessRegistry> own_registry() {
    own_.push_back(AgentProcessRegistry::create());
    return own_.back();
  }

  static std::string log_of(const std::string& safe_id) {
    return read_file(std::string(std::getenv("HOME")) + "/.vessa/agents/" + safe_id + ".log");
  }
  static bool log_has(const std::string& safe_id, const std::string& text) {
    return wait_until([&] { return log_of(safe_id).find(text) != std::string::npos; });
  }
  // The pid an agent's script reported on its "child: " line (0: none), once it is complete.
  pid_t descendant_of(const std::string& id) {
    EXPECT_TRUE(wait_until([&] {
      auto log = log_of(id);
      return log.find("child: ") != std::string::npos && log.back() == '\n';
    }));
    const std::string log = log_of(id);
    const auto at = log.find("child: ");
    const pid_t pid =
        at == std::string::npos ? 0 : static_cast<pid_t>(std::stol(log.substr(at + 7)));
    if (pid > 0) started_.push_back(pid);
    return pid;
  }

  testing::TempHome home_;
  std::string root_ = home_.path() + "/agents-test";
  std::string bin_ = root_ + "/bin";
  std::optional<testing::ScopedEnv> shell_, path_;
  std::vector<std::shared_ptr<AgentProcessRegistry>> own_;
  std::vector<pid_t> started_;
};

TEST_F(AgentRegistryTest, StartListStopRoundTrip) {
  const std::string path = script("alpha", "echo ready\nexec sleep 30");
  auto r = start("alpha", path);
  ASSERT_TRUE(r.ok()) << r.error();
  const std::string msg = r.value().get<std::string>();
  EXPECT_EQ(msg.rfind("Started agent 'alpha' with PID ", 0), 0u) << msg;
  const pid_t pid = pid_of(msg);
  EXPECT_TRUE(alive(pid));

  ASSERT_TRUE(log_has("alpha", "ready"));
  const std::string log = log_of("alpha");
  EXPECT_NE(log.find("args: alpha\n"), std::string::npos) << log;
  EXPECT_NE(log.find("cwd: " + root_ + "/scripts\n"), std::string::npos) << log;
  EXPECT_NE(log.find("path: " + bin_ + ":"), std::string::npos) << log;

  EXPECT_EQ(ok("list_running_agents"), json({"alpha"}));
  EXPECT_EQ(start("alpha", path).error(), "Agent 'alpha' is already running");
  EXPECT_EQ(ok("stop_agent", {{"agentId", "alpha"}}), "Stopped agent 'alpha'");
  EXPECT_FALSE(alive(pid));
  EXPECT_EQ(ok("list_running_agents"), json::array());

  // A second run appends to the same log rather than truncating it.
  ASSERT_TRUE(start("alpha", script("alpha2", "echo second; exec sleep 30")).ok());
  ASSERT_TRUE(log_has("alpha", "second"));
  EXPECT_NE(log_of("alpha").find("ready"), std::string::npos);
}

TEST_F(AgentRegistryTest, ArgumentSpellingsAndFailures) {
  const std::string path = script("snake", "exec sleep 30");
  const std::tuple<const char*, json, const char*> failures[] = {
      {"start_agent", json::object(), "start_agent: missing agentId"},
      {"start_agent", {{"agentId", "x"}, {"scriptPath", 7}}, "start_agent: missing scriptPath"},
      // argv cannot carry a NUL: the child would run under a different id than the one tracked.
      {"start_agent",
       {{"agentId", std::string("a\0b", 3)}, {"scriptPath", path}},
       "start_agent: missing agentId"},
      {"stop_agent", {{"agentId", 3}}, "stop_agent: missing agentId"},
      {"stop_agent", {{"agentId", "nobody"}}, "Agent 'nobody' is not running"},
  };
  for (const auto& [cmd, args, error] : failures) EXPECT_EQ(fails(cmd, args), error) << args.dump();

  // The snake-case names are consulted when the camel-case ones are missing, empty or no string.
  const std::string started =
      ok("start_agent", {{"agentId", ""}, {"agent_id", "snake"}, {"script_path", path}});
  started_.push_back(pid_of(started));
  EXPECT_TRUE(started.starts_with("Started agent 'snake' with PID ")) << started;
  EXPECT_EQ(ok("stop_agent", {{"agentId", 1}, {"agent_id", "snake"}}), "Stopped agent 'snake'");
}

TEST_F(AgentRegistryTest, AgentThatExitedIsReapedAndCanStartAgain) {
  const std::string quick = script("quick", "echo done");
  auto r = start("quick", quick);
  ASSERT_TRUE(r.ok()) << r.error();
  ASSERT_TRUE(log_has("quick", "done"));
  const pid_t pid = pid_of(r.value().get<std::string>());
  ASSERT_TRUE(wait_until([&] { return !alive(pid); }));

  // Stopping an agent that ended by itself still succeeds and forgets it.
  EXPECT_EQ(ok("stop_agent", {{"agentId", "quick"}}), "Stopped agent 'quick'");
  EXPECT_EQ(fails("stop_agent", {{"agentId", "quick"}}), "Agent 'quick' is not running");

  ASSERT_TRUE(start("quick", quick).ok());
  ASSERT_TRUE(wait_until([&] { return !alive(started_.back()); }));
  EXPECT_EQ(ok("list_running_agents"), json::array());
  // The dead entry was reaped: starting the same id again is allowed.
  EXPECT_TRUE(start("quick", quick).ok());
}

// The stop answers only once nothing of the agent's tree is left: not the script that ignores
// SIGTERM, nor a TERM-ignoring child that outlived npx (which alone used to be waited for).
TEST_F(AgentRegistryTest, StopAnswersOnceTheWholeTreeIsGone) {
  const std::string child = testing::test_child();
  // The agent's id, its script, and whether it ignores SIGTERM.
  const std::tuple<const char*, std::string, bool> cases[] = {
      {"stubborn", "trap '' TERM\necho 'child: 0'\nexec sleep 30", true},
      {"family", "sleep 30 &\necho \"child: $!\"\nwait", false},
      {"orphan", "printf 'child: '\n'" + child + "' grandchild 30000 ignore-term", true},
  };
  for (const auto& [id, body, ignores_term] : cases) {
    auto r = start(id, script(id, body));
    ASSERT_TRUE(r.ok()) << r.error();
    const pid_t descendant = descendant_of(id);
    // An agent whose npx has gone still runs while its tree does.
    EXPECT_EQ(ok("list_running_agents"), json({id})) << id;

    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(ok("stop_agent", {{"agentId", id}}), std::string("Stopped agent '") + id + "'");
    if (ignores_term) {
      EXPECT_GE(std::chrono::steady_clock::now() - began, 1900ms) << id;
    }
    EXPECT_FALSE(alive(pid_of(r.value().get<std::string>()))) << id;
    if (descendant > 0) {
      EXPECT_FALSE(alive(descendant)) << id;
    }
  }
}

TEST_F(AgentRegistryTest, QuitKillsEveryAgentWithinOneSecond) {
  auto a = start("one", script("one", "trap '' TERM\necho ready\nexec sleep 30"));
  auto b = start("two", script("two", "echo ready\nexec sleep 30"));
  ASSERT_TRUE(a.ok() && b.ok());
  ASSERT_TRUE(log_has("one", "ready") && log_has("two", "ready"));
  // The commands above created the shared registry, which registered its will-terminate hook.
  const auto began = std::chrono::steady_clock::now();
  lifecycle::run_will_terminate();
  EXPECT_LT(std::chrono::steady_clock::now() - began, 1500ms);
  EXPECT_FALSE(alive(pid_of(a.value().get<std::string>())));
  EXPECT_FALSE(alive(pid_of(b.value().get<std::string>())));
  EXPECT_TRUE(AgentProcessRegistry::shared()->list_running().empty());
}

// A shell killed with -9 runs no quit hook: its npx dies with it, and the next launch ends the
// rest of the agent's group, but never the agents of a shell that still runs.
TEST_F(AgentRegistryTest, AKilledShellsAgentsAreEndedByTheNextLaunch) {
  const std::string child = testing::test_child();
  for (const auto& [id, kill_shell] : {std::pair{"left", true}, std::pair{"kept", false}}) {
    const std::string body =
        "printf 'child: '\n'" + child + "' grandchild 30000 ignore-term\nexec sleep 30";
    proc::Options o;
    o.argv = {child, "start-agent", id, script(id, body)};
    auto shell = proc::Process::start(o);
    ASSERT_TRUE(shell.has_value()) << shell.error();
    const std::string answer = testing::read_line((*shell)->stdout_fd(), 20s);
    ASSERT_EQ(answer.rfind("Started agent", 0), 0u) << answer;
    const pid_t leader = pid_of(answer);
    started_.push_back(leader);
    const pid_t descendant = descendant_of(id);
    ASSERT_GT(descendant, 0) << id;

    if (kill_shell) {
      ::kill((*shell)->pid(), SIGKILL);
      // The next launch comes once the killed shell is gone, not merely its npx.
      EXPECT_TRUE(wait_until([&] { return !alive((*shell)->pid()); })) << id;
      // The parent-death signal ends npx; its TERM-ignoring child has none and lives on.
      EXPECT_TRUE(wait_until([&] { return !alive(leader); })) << id;
      EXPECT_TRUE(alive(descendant)) << id;
    }
    EXPECT_EQ(agents::end_leftover_groups(), kill_shell ? 1 : 0) << id;
    EXPECT_EQ(alive(descendant), !kill_shell) << id;
    EXPECT_EQ(alive(leader), !kill_shell) << id;

    ::kill((*shell)->pid(), SIGKILL);
    (*shell)->wait();
    if (!kill_shell) {
      // Its group gone, the record of the shell that has now ended names nothing to end.
      proc::stop_group(leader, 0ms, 2s);
      ASSERT_TRUE(wait_until([&] { return !proc::group_alive(leader); })) << id;
      EXPECT_EQ(agents::end_leftover_groups(), 0);
    }
  }
}

TEST_F(AgentRegistryTest, LogFileNamesStayInsideTheAgentsFolder) {
  const std::string long_id(10000, 'x');
  const std::pair<std::string, std::string> cases[] = {
      {"plain-id_1.0", "plain-id_1.0"},
      {"../escape", "..-escape"},
      {"..", ".."},
      {"caf\xC3\xA9 \xF0\x9F\x98\x80", "caf---"},
  };
  for (const auto& [id, safe] : cases) EXPECT_EQ(AgentProcessRegistry::safe_id(id), safe) << id;
  EXPECT_EQ(AgentProcessRegistry::safe_id(""), "agent");

  const std::string long_safe = AgentProcessRegistry::safe_id(long_id);
  EXPECT_LE(long_safe.size(), 200u);
  EXPECT_NE(long_safe, AgentProcessRegistry::safe_id(long_id + "y"));

  auto mine = own_registry();
  const std::string path = script("logger", "echo \"logged $1\"");
  const std::string agents = std::string(std::getenv("HOME")) + "/.vessa/agents";
  for (const std::string& id : {std::string("../escape"), long_id}) {
    auto r = mine->start(id, path);
    ASSERT_TRUE(r.ok) << r.message;
    started_.push_back(pid_of(r.message));
    const std::string safe = AgentProcessRegistry::safe_id(id);
    EXPECT_TRUE(log_has(safe, "logged " + id.substr(0, 20))) << safe;
  }
  EXPECT_FALSE(std::filesystem::exists(agents + "/../escape.log"));
  for (const auto& entry : std::filesystem::directory_iterator(agents)) {
    EXPECT_TRUE(entry.is_regular_file()) << entry.path();
  }
}

// The child runs in the script's folder; a relative path must still name the same script.
TEST_F(AgentRegistryTest, RelativeScriptPathIsResolvedBeforeChangingFolder) {
  script("relative", "echo ran-relative\nexec sleep 30");
  const auto old_cwd = std::filesystem::current_path();
  std::filesystem::current_path(root_);
  auto mine = own_registry();
  auto r = mine->start("rel", "scripts/relative.sh");
  std::filesystem::current_path(old_cwd);
  ASSERT_TRUE(r.ok) << r.message;
  started_.push_back(pid_of(r.message));
  EXPECT_TRUE(log_has("rel", "ran-relative"));
  EXPECT_NE(log_of("rel").find("cwd: " + root_ + "/scripts\n"), std::string::npos);
  EXPECT_EQ(mine->list_running(), std::vector<std::string>{"rel"});
}

TEST_F(AgentRegistryTest, ConcurrentStartsOfOneIdStartOneProcess) {
  auto mine = own_registry();
  const std::string path = script("twin", "exec sleep 30");
  std::vector<CommandOutcome> outcomes(4);
  std::vector<std::thread> threads;
  for (auto& o : outcomes) threads.emplace_back([&] { o = mine->start("twin", path); });
  for (auto& t : threads) t.join();
  int winners = 0;
  for (const auto& o : outcomes) {
    if (o.ok) {
      ++winners;
      started_.push_back(pid_of(o.message));
    } else {
      EXPECT_EQ(o.message, "Agent 'twin' is already running");
    }
  }
  EXPECT_EQ(winners, 1);
}

}  // namespace
}  // namespace vessa::commands
