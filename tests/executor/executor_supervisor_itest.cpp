// The executor supervisor on a private loopback port, with the real sidecar and fake ones.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "executor/cli_auth_refresh.hpp"
#include "executor/client_identity.hpp"
#include "executor/executor_supervisor.hpp"
#include "executor/port_owners.hpp"
#include "executor/sidecar_location.hpp"
#include "executor_test_support.hpp"
#include "fixtures/bundle.hpp"
#include "fixtures/helpers.hpp"
#include "fixtures/temp_home.hpp"
#include "support/http.hpp"
#include "support/lines.hpp"
#include "support/login_path.hpp"
#include "support/paths.hpp"
#include "support/subprocess.hpp"

namespace vessa::executor {
namespace {

using testing::ensure_and_wait;
using testing::error_event;
using testing::EventLog;
using testing::read_file;
using testing::status_event;
using testing::wait_until;
using testing::write_file;

const std::string kNotReady = "executor did not become ready within 15s";

class SupervisorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = testing::free_loopback_port();
    executor::detail::set_refresh_url_for_testing(base_url() + "/refresh-cli-auth");
  }
  void TearDown() override {
    // Whatever a test started is stopped, also when it failed half-way.
    for (auto& s : supervisors_) s->stop();
    executor::detail::set_refresh_url_for_testing("");
    paths::set_executable_path_for_testing({});
  }

  static constexpr const char* kToken = "page-token-for-the-executor";

  std::shared_ptr<ExecutorSupervisor> make(
      std::optional<std::filesystem::path> sidecar, int attempts = 30,
      std::chrono::milliseconds interval = std::chrono::milliseconds(100)) {
    ExecutorSupervisor::Options o;
    o.port = port_;
    o.sidecar = std::move(sidecar);
    o.readiness_attempts = attempts;
    o.readiness_interval = interval;
    o.ui_token = kToken;
    auto s = ExecutorSupervisor::create(o);
    s->set_emit(events_.sink());
    supervisors_.push_back(s);
    return s;
  }
  std::string base_url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::string home() const { return home_.path(); }
  std::string log_file() const { return home() + "/.vessa/executor.log"; }
  std::string err_file() const { return home() + "/.vessa/executor.err"; }

  /// A fake executor: a shell script whose last step becomes the helper child in `mode`.
  std::string fake_sidecar(const std::string& name, const std::string& steps) {
    return write_file(home() + "/fakes/" + name, "#!/bin/sh\n" + steps + "\n", 0755);
  }
  std::string never_answers() {
    return fake_sidecar("never-answers",
                        "echo started\nexec '" + testing::test_child() + "' sleep 30000");
  }

  testing::TempHome home_;
  uint16_t port_ = 0;
  EventLog events_;
  testing::LogCapture logs_;
  std::vector<std::shared_ptr<ExecutorSupervisor>> supervisors_;
};

TEST_F(SupervisorTest, StartsTheSidecarThenDebouncesAndForceRunsTheFullEnsure) {
  auto supervisor = make(testing::sidecar_program());
  auto first = ensure_and_wait(*supervisor, false);
  EXPECT_EQ(first.status, "ready") << first.message.value_or("");
  EXPECT_EQ(first.message, std::nullopt);
  EXPECT_EQ(events_.take(), (std::vector<json>{status_event("starting"), status_event("ready")}));
  auto pid = supervisor->child_pid();
  ASSERT_TRUE(pid.has_value());
  EXPECT_TRUE(logs_.contains("[VessaMac] spawned executor pid " + std::to_string(*pid)));
  // The credential refresh after a successful ensure reaches the sidecar.
  EXPECT_TRUE(wait_until([&] {
    return read_file(log_file()).find("CLI credentials reloaded") != std::string::npos;
  })) << read_file(log_file());

  // Forced: the full ensure, which finds our healthy child and keeps it.
  EXPECT_EQ(ensure_and_wait(*supervisor, true).status, "ready");
  EXPECT_EQ(events_.take(), (std::vector<json>{status_event("starting"), status_event("ready")}));
  EXPECT_EQ(supervisor->child_pid(), pid);
  EXPECT_TRUE(
      logs_.contains("[VessaMac] executor healthy on :" + std::to_string(port_) + " — adopting"));

  // Within the debounce (the launch's second ensure): one probe, nothing restarted, and no
  // second "ready" for a page that already has it. The window opens with the last full ensure;
  // the forced one above is quick, while the first one's sidecar start can fill most of the
  // window in a slow (sanitizer) build.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(ensure_and_wait(*supervisor, false).status, "ready");
  EXPECT_EQ(events_.take(), std::vector<json>{});

  // Past the debounce a non-forced ensure runs fully again.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  EXPECT_EQ(ensure_and_wait(*supervisor, false).status, "ready");
  EXPECT_EQ(events_.take(), (std::vector<json>{status_event("starting"), status_event("ready")}));

  supervisor->stop();
  EXPECT_EQ(supervisor->child_pid(), std::nullopt);
  EXPECT_TRUE(wait_until([&] { return !testing::pid_exists(*pid); }, std::chrono::seconds(3)));
  EXPECT_FALSE(supervisor->isHealthy());
  EXPECT_TRUE(executor::detail::listening_pids(port_).empty());
}

// The log files are appended to, by every child, never started afresh.
TEST_F(SupervisorTest, AChildThatNeverAnswersIsReportedKeptAndReplacedNextTime) {
  write_file(log_file(), "earlier run\n");
  auto supervisor = make(never_answers(), 3, std::chrono::milliseconds(50));
  auto outcome = ensure_and_wait(*supervisor, false);
  EXPECT_EQ(outcome.status, "error");
  EXPECT_EQ(outcome.message, kNotReady);
  EXPECT_EQ(events_.take(), (std::vector<json>{status_event("starting"), error_event(kNotReady)}));
  auto first = supervisor->child_pid();
  ASSERT_TRUE(first.has_value());
  EXPECT_TRUE(testing::pid_exists(*first));

  // Within the debounce, but unhealthy: the full ensure replaces our silent child.
  EXPECT_EQ(ensure_and_wait(*supervisor, false).message, kNotReady);
  EXPECT_TRUE(logs_.contains("[VessaMac] terminating our unhealthy executor pid " +
                             std::to_string(*first)));
  EXPECT_TRUE(wait_until([&] { return !testing::pid_exists(*first); }, std::chrono::seconds(3)));
  auto second = supervisor->child_pid();
  ASSERT_TRUE(second.has_value());
  EXPECT_NE(second, first);
  EXPECT_EQ(read_file(log_file()), "earlier run\nstarted\nstarted\n");
  EXPECT_TRUE(std::filesystem::exists(err_file()));
}

// Replacing a child that ignores SIGTERM is bounded (or the ensure would wait for ever), and so
// is stopping one.
TEST_F(SupervisorTest, ChildrenIgnoringSigtermAreKilledWhenReplacedOrStopped) {
  std::string stubborn =
      fake_sidecar("stubborn", "exec '" + testing::test_child() + "' ignore-term 30000");
  auto supervisor = make(stubborn, 1, std::chrono::milliseconds(10));
  auto killed_line = [](pid_t pid) {
    return "[VessaMac] executor pid " + std::to_string(pid) + " ignored SIGTERM after 2s — SIGKILL";
  };
  std::optional<pid_t> previous;
  for (bool force : {false, true}) {
    ASSERT_EQ(ensure_and_wait(*supervisor, force).message, kNotReady);
    auto pid = supervisor->child_pid();
    ASSERT_TRUE(pid.has_value());
    EXPECT_NE(pid, previous);
    if (previous) {
      EXPECT_TRUE(logs_.contains(killed_line(*previous)));
      // Killed before the ensure answered; its zombie may still wait for the background reaper.
      EXPECT_TRUE(wait_until([&] { return !testing::pid_exists(*previous); }));
    }
    previous = pid;
    // Its "ready" line means SIGTERM is ignored from now on.
    ASSERT_TRUE(wait_until(
        [&] { return read_file(log_file()) == (force ? "ready\nready\n" : "ready\n"); }));
  }
  auto before = std::chrono::steady_clock::now();
  supervisor->stop();
  auto took = std::chrono::steady_clock::now() - before;
  // The 2 s grace, SIGKILL, then at most 1 s for the end. The rest of the limit is room for a
  // slow (sanitizer) build on a loaded machine (3.6 s seen); without the SIGKILL the stop would
  // last the child's 30 s.
  EXPECT_GE(took, std::chrono::milliseconds(1950));
  EXPECT_LT(took, std::chrono::seconds(8));
  EXPECT_TRUE(logs_.contains(killed_line(*previous)));
  EXPECT_TRUE(wait_until([&] { return !testing::pid_exists(*previous); }));
}

TEST_F(SupervisorTest, ForeignListenersAreEndedBeforeTheSidecarStarts) {
  // Another program's listener that never answers (and may ignore SIGTERM, the signal expected
  // to end it).
  for (auto [stubborn, expected] : {std::pair{false, SIGTERM}, std::pair{true, SIGKILL}}) {
    SCOPED_TRACE(stubborn ? "ignores SIGTERM" : "obeys SIGTERM");
    proc::Options o;
    o.argv = {testing::test_child(), "listen", std::to_string(port_),
              stubborn ? "ignore-term" : "obeys-term"};
    const std::string out = home() + "/foreign-" + std::to_string(stubborn);
    o.out = proc::Stdio::append(out);
    o.err = proc::Stdio::null();
    auto started = proc::Process::start(o);
    ASSERT_TRUE(started) << started.error();
    std::shared_ptr<proc::Process> foreign = *started;
    struct Reap {
      std::shared_ptr<proc::Process> p;
      ~Reap() { p->terminate(std::chrono::milliseconds(0)); }
    } reap{foreign};
    ASSERT_TRUE(wait_until([&] { return read_file(out) == "listening\n"; }));
    auto supervisor = make(testing::sidecar_program());
    auto outcome = ensure_and_wait(*supervisor, false);
    EXPECT_EQ(outcome.status, "ready") << outcome.message.value_or("");
    EXPECT_TRUE(
        logs_.contains("[VessaMac] freePort3212: killing pid " + std::to_string(foreign->pid())));
    auto end = foreign->wait_for(std::chrono::seconds(1));
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(end->signal, expected);
    supervisor->stop();
    events_.take();
  }
}

TEST_F(SupervisorTest, AnUnhealthyListenerInThisProcessIsNeverSignalled) {
  // Answers, but not 200: unhealthy. Freeing the port must not end the shell itself.
  httplib::Server server;
  server.Get("/health", [](const httplib::Request&, httplib::Response& res) { res.status = 503; });
  ASSERT_TRUE(server.bind_to_port("127.0.0.1", port_));
  std::thread serving([&] { server.listen_after_bind(); });
  auto supervisor = make(testing::sidecar_program(), 2, std::chrono::milliseconds(50));
  auto outcome = ensure_and_wait(*supervisor, false);
  EXPECT_EQ(outcome.message, kNotReady);
  for (const auto& line : logs_.lines()) EXPECT_EQ(line.find("freePort3212"), std::string::npos);
  // The sidecar could not take the port and said so on its error stream. The listener stays
  // until then: a slow sidecar would otherwise find the port free.
  EXPECT_TRUE(wait_until([&] {
    return read_file(err_file()).find("cannot listen") != std::string::npos;
  })) << read_file(err_file());
  server.stop();
  serving.join();
}

std::map<std::string, std::string> parse_env_dump(const std::string& text) {
  std::map<std::string, std::string> env;
  for (const auto& line : split_lines(text)) {
    auto eq = line.find('=');
    if (eq != std::string::npos) env[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return env;
}

TEST_F(SupervisorTest, TheChildGetsTheLaunchEnvironmentAndWorkingFolder) {
  std::string dumper =
      fake_sidecar("dump-env", "env > \"$HOME/child.env\"\npwd > \"$HOME/child.cwd\"\nexec '" +
                                   testing::test_child() + "' sleep 30000");
  write_file(home() + "/.vessa/config.json",
             R"({"convexUrl": "https://convex.example", "executorSecret": "s3cret"})");
  // Inherited values the launch must not pass on unchanged.
  testing::ScopedEnv stale_pw("VESSA_PLAYWRIGHT_DIR", "/stale/pw");
  testing::ScopedEnv mode("EXECUTION_MODE", "cloud");
  testing::ScopedEnv inherited("VESSA_TEST_INHERITED", "kept");

  // A bare home, then one with Documents and a bundle holding Playwright.
  for (bool full : {false, true}) {
    SCOPED_TRACE(full ? "with Documents and Playwright" : "bare home");
    std::filesystem::remove(home() + "/child.env");
    std::string bundle = home() + "/Vessa.app";
    if (full) std::filesystem::create_directories(home() + "/Documents");
    std::optional<testing::ScopedExecutable> running;
    if (full) {
      testing::write_bundle(bundle);
      std::filesystem::create_directories(bundle + "/Resources/pw");
      running.emplace(bundle + "/bin/vessa");
    }
    auto supervisor = make(dumper, 1, std::chrono::milliseconds(10));
    ASSERT_EQ(ensure_and_wait(*supervisor, true).message, kNotReady);
    ASSERT_TRUE(wait_until([&] { return !read_file(home() + "/child.cwd").empty(); }));
    ASSERT_TRUE(wait_until([&] { return !read_file(home() + "/child.env").empty(); }));
    auto env = parse_env_dump(read_file(home() + "/child.env"));
    std::string cwd = read_file(home() + "/child.cwd");
    std::filesystem::remove(home() + "/child.cwd");
    supervisor->stop();

    EXPECT_EQ(cwd, (full ? home() + "/Documents" : home()) + "\n");
    // The client id is resolved at launch, so the first launch stores it.
    auto config = parse_json(read_file(home() + "/.vessa/config.json"));
    ASSERT_TRUE(config && config->is_object());
    const std::string browsers = executor::appDataDir().string() + "/ms-playwright";
    const std::map<std::string, std::string> expected = {
        {"CONVEX_URL", "https://convex.example"},
        {"EXECUTOR_SECRET", "s3cret"},
        {"EXECUTION_MODE", "cli"},
        {"POLL_INTERVAL", "5000"},
        {"MAX_TURNS", "50"},
        {"AGENT_TIMEOUT", "900000"},
        {"VESSA_TEST_INHERITED", "kept"},
        {"VESSA_EXECUTOR_PORT", std::to_string(port_)},
        {"PATH", launch::enrichedPath()},
        {"EXECUTOR_CLIENT_ID", (*config)["clientId"]},
        {"EXECUTOR_DEVICE_NAME", executor::resolveDeviceName(home() + "/.vessa/config.json")},
        {"PLAYWRIGHT_BROWSERS_PATH", browsers},
        {"VESSA_UI_TOKEN", kToken},
    };
    for (const auto& [name, value] : expected) EXPECT_EQ(env[name], value) << name;
    EXPECT_TRUE(std::filesystem::is_directory(browsers));
    if (full) {
      EXPECT_EQ(env["VESSA_PLAYWRIGHT_DIR"], bundle + "/Resources/pw");
    } else {
      EXPECT_EQ(env.count("VESSA_PLAYWRIGHT_DIR"), 0u);
    }
  }
}

TEST_F(SupervisorTest, MissingOrUnstartableProgramsAreReported) {
  // No bundle and no development copy anywhere above this fake executable.
  paths::set_executable_path_for_testing(home() + "/elsewhere/bin/vessa");
  auto lookup = make(std::nullopt);
  auto outcome = ensure_and_wait(*lookup, false);
  EXPECT_EQ(outcome.message, "executor binary not found");
  EXPECT_EQ(events_.take(), (std::vector<json>{status_event("starting"),
                                               error_event("executor binary not found")}));
  EXPECT_TRUE(logs_.contains("[VessaMac] executor binary not found"));

  auto broken = make(write_file(home() + "/not-a-program", "#!/no/such/interpreter\n", 0755));
  outcome = ensure_and_wait(*broken, false);
  EXPECT_EQ(outcome.status, "error");
  EXPECT_EQ(outcome.message.value_or("").rfind("failed to start executor: ", 0), 0u)
      << outcome.message.value_or("");
  EXPECT_GT(outcome.message.value_or("").size(), std::string("failed to start executor: ").size());
  EXPECT_EQ(broken->child_pid(), std::nullopt);
}

TEST_F(SupervisorTest, AnEnsureQueuedBehindTheSupervisorsEndReportsItGone) {
  auto supervisor = make(std::nullopt);
  supervisors_.clear();
  paths::set_executable_path_for_testing(home() + "/elsewhere/bin/vessa");
  std::promise<void> release;
  auto released = release.get_future().share();
  // The first completion holds the queue until the test has let the supervisor go.
  supervisor->ensureRunning(false, [released](const std::string&, const auto&) {
    released.wait_for(std::chrono::seconds(10));
  });
  auto future = testing::ensure_async(*supervisor, false);
  supervisor.reset();
  release.set_value();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  auto outcome = future.get();
  EXPECT_EQ(outcome.status, "error");
  EXPECT_EQ(outcome.message, "supervisor gone");
}

// The process ids of every "spawned executor pid N" line.
std::vector<pid_t> spawned_pids(const testing::LogCapture& logs) {
  const std::string prefix = "[VessaMac] spawned executor pid ";
  std::vector<pid_t> pids;
  for (const auto& line : logs.lines()) {
    if (line.rfind(prefix, 0) == 0) pids.push_back(std::stoi(line.substr(prefix.size())));
  }
  return pids;
}

TEST_F(SupervisorTest, AStopAtQuitEndsAnEnsureInFlightWithoutLeavingAChild) {
  auto supervisor = make(never_answers(), 200, std::chrono::milliseconds(50));
  auto future = testing::ensure_async(*supervisor, false);
  ASSERT_TRUE(wait_until([&] { return supervisor->child_pid().has_value(); }));
  auto pid = *supervisor->child_pid();
  supervisor->stop();
  // Without the check the queue would go on probing for 10 s.
  ASSERT_EQ(future.wait_for(std::chrono::seconds(3)), std::future_status::ready);
  EXPECT_EQ(future.get().message, "executor stopped while starting");
  EXPECT_TRUE(wait_until([&] { return !testing::pid_exists(pid); }, std::chrono::seconds(3)));

  // Asked for before the stop, run after it: nothing may be left running either.
  auto queued = testing::ensure_async(*supervisor, true);
  supervisor->stop();
  ASSERT_EQ(queued.wait_for(std::chrono::seconds(3)), std::future_status::ready);
  EXPECT_EQ(queued.get().message, "executor stopped while starting");
  for (pid_t p : spawned_pids(logs_)) {
    EXPECT_TRUE(wait_until([&] { return !testing::pid_exists(p); }, std::chrono::seconds(3))) << p;
  }
}

TEST_F(SupervisorTest, ASupervisorThatGoesAwayStopsItsChild) {
  auto supervisor = make(never_answers(), 1, std::chrono::milliseconds(10));
  ASSERT_EQ(ensure_and_wait(*supervisor, false).message, kNotReady);
  auto pid = supervisor->child_pid();
  ASSERT_TRUE(pid.has_value());
  supervisors_.clear();
  supervisor.reset();
  EXPECT_TRUE(wait_until([&] { return !testing::pid_exists(*pid); }, std::chrono::seconds(3)));
}

}  // namespace
}  // namespace vessa::executor
