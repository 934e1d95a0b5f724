// The supervisor as the shell builds it, on the real port 3212 with the built sidecar.
#include <gtest/gtest.h>

#include "executor/executor_supervisor.hpp"
#include "executor/port_owners.hpp"
#include "executor_test_support.hpp"
#include "fixtures/helpers.hpp"
#include "fixtures/temp_home.hpp"
#include "support/http.hpp"
#include "support/subprocess.hpp"

namespace vessa::executor {
namespace {

using testing::ensure_and_wait;
using testing::EventLog;
using testing::status_event;
using testing::wait_until;

constexpr uint16_t kPort = 3212;

bool healthy_on_3212() {
  auto r = http::get("http://127.0.0.1:3212/health", std::chrono::milliseconds(1000));
  return r && r->status == 200;
}

// The supervisor as the shell creates it, after an ensure that must end ready.
std::shared_ptr<ExecutorSupervisor> ensured_default_supervisor(EventLog& events) {
  auto supervisor = ExecutorSupervisor::create();
  supervisor->set_emit(events.sink());
  auto outcome = ensure_and_wait(*supervisor, false);
  EXPECT_EQ(outcome.status, "ready") << outcome.message.value_or("");
  EXPECT_EQ(events.take(), (std::vector<json>{status_event("starting"), status_event("ready")}));
  return supervisor;
}

TEST(ExecutorOnPort3212, AHealthyExecutorStartedElsewhereIsAdoptedAndLeftRunningAtStop) {
  testing::TempHome home;
  ASSERT_TRUE(executor::detail::listening_pids(kPort).empty()) << "port 3212 is already taken";
  proc::Options o;
  o.argv = {testing::sidecar_program()};
  o.env = proc::current_environment();
  o.env->erase("VESSA_EXECUTOR_PORT");
  o.out = proc::Stdio::null();
  o.err = proc::Stdio::null();
  auto started = proc::Process::start(o);
  ASSERT_TRUE(started) << started.error();
  std::shared_ptr<proc::Process> elsewhere = *started;
  ASSERT_TRUE(wait_until(healthy_on_3212));

  testing::LogCapture logs;
  EventLog events;
  auto supervisor = ensured_default_supervisor(events);
  EXPECT_TRUE(logs.contains("[VessaMac] executor healthy on :3212 — adopting"));
  EXPECT_EQ(supervisor->child_pid(), std::nullopt);

  supervisor->stop();
  EXPECT_TRUE(elsewhere->running());
  EXPECT_TRUE(healthy_on_3212());
  elsewhere->terminate(std::chrono::milliseconds(2000));
  EXPECT_TRUE(executor::detail::listening_pids(kPort).empty());
}

TEST(ExecutorOnPort3212, TheDefaultSupervisorFindsTheBuiltSidecarAndStopsItAtQuit) {
  testing::TempHome home;
  ASSERT_TRUE(executor::detail::listening_pids(kPort).empty()) << "port 3212 is already taken";
  EventLog events;
  // No bundle around the test program: the development copy in the build folder is used.
  auto supervisor = ensured_default_supervisor(events);
  auto pid = supervisor->child_pid();
  ASSERT_TRUE(pid.has_value());
  EXPECT_EQ(executor::detail::listening_pids(kPort), std::vector<pid_t>{*pid});
  EXPECT_TRUE(wait_until([&] {
    return testing::read_file(home.path() + "/.vessa/executor.log").find("reloaded") !=
           std::string::npos;
  }));

  supervisor->stop();
  EXPECT_TRUE(wait_until([&] { return executor::detail::listening_pids(kPort).empty(); },
                         std::chrono::seconds(3)));
  EXPECT_FALSE(healthy_on_3212());
}

}  // namespace
}  // namespace vessa::executor
