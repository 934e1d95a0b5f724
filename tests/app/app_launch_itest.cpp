// The real application: the launch's executor start and update check, held back until the first
// page has loaded, still happen, and exactly once each.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "fixtures/temp_home.hpp"
#include "support/fs.hpp"
#include "support/lines.hpp"
#include "support/subprocess.hpp"

namespace vessa::testing {
namespace {

using namespace std::chrono_literals;

size_t count_lines_with(const std::vector<std::string>& lines, std::string_view text) {
  size_t n = 0;
  for (const auto& l : lines) n += l.find(text) != std::string::npos;
  return n;
}

TEST(AppLaunch, ExecutorStartAndUpdateCheckHappenOnceEach) {
  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "needs an X display (run under xvfb-run)";
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  TempHome home;
  const std::string log = home.path() + "/vessa.err";
  proc::Options opts;
  opts.argv = {VESSA_EXE};
  opts.env = proc::current_environment();
  (*opts.env)["VESSA_UPDATE_MANIFEST_URL"] = "http://127.0.0.1:1/latest.json";  // refused
  opts.err = proc::Stdio::append(log);
  opts.out = proc::Stdio::null();
  opts.new_process_group = true;
  auto started = proc::Process::start(opts);
  ASSERT_TRUE(started) << started.error();
  auto app = *started;
  auto finish = [&] {
    app->terminate(5000ms);
    ::kill(-app->pid(), SIGKILL);
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
  };

  auto lines = [&] { return split_lines(fs::read_file(log).value_or("")); };
  auto executor_lines = [&](const std::vector<std::string>& l) {
    return count_lines_with(l, "spawned executor pid") +
           count_lines_with(l, "executor healthy on :3212 \u2014 adopting");
  };
  auto update_lines = [&](const std::vector<std::string>& l) {
    return count_lines_with(l, "update check failed: ") + count_lines_with(l, "up to date (");
  };
  std::vector<std::string> seen;
  for (int i = 0; i < 240 && app->running(); ++i) {
    seen = lines();
    if (executor_lines(seen) > 0 && update_lines(seen) > 0 &&
        count_lines_with(seen, "page-loaded probe: ") > 0) {
      break;
    }
    std::this_thread::sleep_for(250ms);
  }
  // Later ensures (after the load, on activation) find the sidecar healthy and start nothing.
  std::this_thread::sleep_for(3s);
  seen = lines();
  finish();
  std::string text;
  for (const auto& l : seen) text += l + "\n";
  ASSERT_EQ(count_lines_with(seen, "page-loaded probe: "), 1u) << text;
  EXPECT_EQ(executor_lines(seen), 1u) << text;
  EXPECT_EQ(update_lines(seen), 1u) << text;
}

}  // namespace
}  // namespace vessa::testing
