// Child processes: streams, deadlines, stop escalation, exit versus signal, start errors.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "fixtures/helpers.hpp"
#include "fixtures/scripts.hpp"
#include "support/subprocess.hpp"

namespace vessa::proc {
namespace {

using std::chrono::milliseconds;
using vessa::testing::test_child;

Options child(std::vector<std::string> args) {
  Options o;
  o.argv = {test_child()};
  o.argv.insert(o.argv.end(), args.begin(), args.end());
  return o;
}

// 8 MiB on each stream is far beyond the pipe buffers: a reader that drains one stream at a
// time would deadlock. A capture cap keeps reading, so the child still finishes.
TEST(Subprocess, FloodingBothPipesDoesNotBlockAndReachesTheCallbacksOrTheCap) {
  RunOptions ro;
  ro.timeout = milliseconds(20000);
  auto r = run(child({"flood", std::to_string(8 << 20)}), ro);
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_TRUE(r->status.success());
  EXPECT_EQ(r->out.size(), size_t{8} << 20);
  EXPECT_EQ(r->err.size(), size_t{8} << 20);

  RunOptions capped = ro;
  capped.max_capture = 1000;
  r = run(child({"flood", std::to_string(4 << 20)}), capped);
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(r->status.success());
  EXPECT_EQ(r->out.size(), 1000u);
  EXPECT_EQ(r->err.size(), 1000u);
  EXPECT_TRUE(r->out_truncated && r->err_truncated);

  size_t out = 0, err = 0;
  ro.on_stdout = [&](std::string_view s) { out += s.size(); };
  ro.on_stderr = [&](std::string_view s) { err += s.size(); };
  r = run(child({"flood", "100000"}), ro);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(out, 100000u);
  EXPECT_EQ(err, 100000u);
  EXPECT_TRUE(r->out.empty());
}

TEST(Subprocess, StoppingUsesTermAndEscalatesToKillWhenTermIsIgnored) {
  auto p = Process::start(child({"sleep", "30000"}));
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ((*p)->terminate(milliseconds(2000)).signal, SIGTERM);

  RunOptions ro;
  ro.timeout = milliseconds(300);
  ro.kill_grace = milliseconds(200);
  auto start = std::chrono::steady_clock::now();
  auto r = run(child({"ignore-term", "30000"}), ro);
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(r->timed_out);
  EXPECT_EQ(r->status.signal, SIGKILL);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(Subprocess, ExitCodeAndSignalAreToldApart) {
  const std::tuple<std::vector<std::string>, bool, int, int, std::string> cases[] = {
      {{"exit", "0"}, true, 0, 0, "Some(0)"},
      {{"exit", "255"}, true, 255, 0, "Some(255)"},
      {{"signal", std::to_string(SIGSEGV)}, false, 0, SIGSEGV, "None"},
  };
  for (const auto& [args, exited, code, signal, text] : cases) {
    auto r = run(child(args));
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->status.exited, exited) << args[0] << " " << args[1];
    EXPECT_EQ(r->status.code, code);
    EXPECT_EQ(r->status.signal, signal);
    EXPECT_EQ(r->status.describe(), text);
  }
}

TEST(Subprocess, StartErrorsCarryTheSystemDescription) {
  Options missing;
  missing.argv = {"/nonexistent/program"};
  Options bad_cwd = child({"cwd"});
  bad_cwd.cwd = "/nonexistent/folder";
  Options not_executable;
  not_executable.argv = {
      vessa::testing::write_file(std::string(std::getenv("HOME")) + "/plain.txt", "x")};
  // A NUL would silently cut an argument or a variable short.
  const std::string nul("a\0b", 3);
  Options nul_arg = child({"echo", nul});
  Options nul_env = child({"env", "X"});
  nul_env.env = Environment{{"X", nul}};
  const std::pair<const Options*, std::string> cases[] = {
      {&missing, "No such file or directory"}, {&bad_cwd, "No such file or directory"},
      {&not_executable, "Permission denied"},  {&nul_arg, "Invalid argument"},
      {&nul_env, "Invalid argument"},
  };
  for (const auto& [options, error] : cases) {
    auto r = run(*options);
    ASSERT_FALSE(r.has_value()) << options->argv[0];
    EXPECT_EQ(r.error(), error) << options->argv[0];
  }
}

// What the child sees: its environment, folder and standard input, and a bare name looked up
// in the child's PATH, not ours.
TEST(Subprocess, EnvironmentWorkingFolderInputAndLookupFollowTheOptions) {
  std::string home = std::getenv("HOME");
  Options probe = child({"env", "VESSA_PROBE"});
  probe.env = Environment{{"VESSA_PROBE", "it's \"quoted\" $HOME"}};
  Options counted = child({"env-count"});
  counted.env = Environment{{"A", "1"}, {"B", "2"}};
  Options cwd = child({"cwd"});
  cwd.cwd = home;
  Options by_name;
  by_name.argv = {"vessa_test_child", "echo", "found"};
  by_name.env = Environment{
      {"PATH", "/nonexistent:" + std::filesystem::path(test_child()).parent_path().string()}};
  Options input = child({"stdin"});
  input.in = Stdio::pipe();
  RunOptions with_input;
  with_input.input = std::string(300000, 'z');
  with_input.timeout = milliseconds(10000);
  const std::tuple<const Options*, RunOptions, std::string> cases[] = {
      {&probe, {}, "it's \"quoted\" $HOME\n"},
      {&counted, {}, "2\n"},
      {&cwd, {}, home + "\n"},
      {&by_name, {}, "found\n"},
      {&input, with_input, std::string(300000, 'z')},
  };
  for (const auto& [options, run_options, out] : cases) {
    auto r = run(*options, run_options);
    ASSERT_TRUE(r.has_value()) << options->argv[1] << ": " << r.error();
    EXPECT_FALSE(r->timed_out) << options->argv[1];
    EXPECT_EQ(r->out, out) << options->argv[1];
  }
}

TEST(Subprocess, AppendFileAndNullDevice) {
  std::string log = std::string(std::getenv("HOME")) + "/logs/child.log";
  std::filesystem::create_directories(std::filesystem::path(log).parent_path());
  for (const char* word : {"one", "two"}) {
    Options o = child({"echo", word});
    o.out = Stdio::append(log);
    o.err = Stdio::null();
    auto r = run(o);
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(r->out.empty());
  }
  EXPECT_EQ(vessa::testing::read_file(log), "one\ntwo\n");
}

TEST(Subprocess, GrandchildHoldingThePipeIsBoundedByTheEofWait) {
  RunOptions ro;
  ro.timeout = milliseconds(20000);
  ro.eof_wait_after_exit = milliseconds(300);
  auto start = std::chrono::steady_clock::now();
  auto r = run(child({"grandchild", "5000"}), ro);
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(r->status.success());
  EXPECT_FALSE(r->timed_out);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  // The stray holding the pipes belongs to the run and is stopped with it.
  EXPECT_FALSE(vessa::testing::alive(std::stoi(r->out)));
}

// npx, git or an installer may exit and leave a child that ignores SIGTERM: the stop waits for
// the whole group, not its leader, and only then reports it gone.
TEST(Subprocess, StopEndsTheWholeGroupEvenWhenItsLeaderIsGone) {
  for (const char* leader : {"stay", "exit"}) {
    auto p = Process::start(child({"grandchild", "30000", "ignore-term", leader}));
    ASSERT_TRUE(p.has_value()) << p.error();
    const pid_t grandchild =
        std::stoi(vessa::testing::read_line((*p)->stdout_fd(), milliseconds(5000)));
    if (std::string(leader) == "exit") {
      ASSERT_TRUE((*p)->wait_for(milliseconds(5000)));
    }
    EXPECT_TRUE((*p)->tree_running()) << leader;
    const auto began = std::chrono::steady_clock::now();
    EXPECT_TRUE((*p)->stop(milliseconds(300), milliseconds(2000))) << leader;
    EXPECT_GE(std::chrono::steady_clock::now() - began, milliseconds(300)) << leader;
    EXPECT_FALSE(vessa::testing::alive(grandchild)) << leader;
    EXPECT_FALSE((*p)->tree_running()) << leader;
  }
}

TEST(Subprocess, DroppedRunningChildIsReapedNotKilled) {
  pid_t pid = 0;
  {
    auto p = Process::start(child({"sleep", "400"}));
    ASSERT_TRUE(p.has_value());
    pid = (*p)->pid();
  }
  // Still running: dropping the handle does not stop it; once it ends the background reaper
  // collects it (no zombie left).
  EXPECT_TRUE(vessa::testing::pid_exists(pid));
  EXPECT_TRUE(vessa::testing::wait_until([&] { return !vessa::testing::pid_exists(pid); },
                                         std::chrono::seconds(5)));
}

TEST(Subprocess, WaitersOnSeveralThreadsAllSeeTheSameStatus) {
  auto p = Process::start(child({"exit", "7"}));
  ASSERT_TRUE(p.has_value());
  std::vector<std::thread> threads;
  std::atomic<int> sevens{0};
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      if ((*p)->wait().code == 7) ++sevens;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(sevens.load(), 4);
  EXPECT_FALSE((*p)->send_signal(SIGTERM));  // ended: no signal goes to a recycled pid
}

TEST(Subprocess, FindInPathSkipsFoldersAndNonExecutables) {
  std::string home = std::getenv("HOME");
  std::filesystem::create_directories(home + "/a/tool");  // a folder named like the tool
  vessa::testing::write_file(home + "/b/tool", "x", 0644);
  vessa::testing::write_file(home + "/c/tool", "#!/bin/sh\n", 0755);
  auto found = find_in_path("tool", home + "/a::" + home + "/b:" + home + "/c");
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(*found, home + "/c/tool");
  EXPECT_FALSE(find_in_path("tool", home + "/a").has_value());
  EXPECT_FALSE(find_in_path("", home + "/c").has_value());
}

}  // namespace
}  // namespace vessa::proc
