// The in-page self-test of the real application under Xvfb: with VESSA_SELFTEST=1 its
// "SELFTEST: " line reports every family reached; any other value runs no self-test.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

#include "fixtures/temp_home.hpp"
#include "support/fs.hpp"
#include "support/json.hpp"
#include "support/lines.hpp"
#include "support/subprocess.hpp"

namespace vessa::testing {
namespace {

using namespace std::chrono_literals;

// Every process below `root` (via /proc), so the test can end what the app left.
std::vector<pid_t> children_of(pid_t root) {
  std::vector<pid_t> found;
  std::vector<pid_t> frontier{root};
  while (!frontier.empty()) {
    pid_t parent = frontier.back();
    frontier.pop_back();
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
      const std::string name = entry.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      std::string stat = fs::read_file(entry.path().string() + "/stat").value_or("");
      auto close_paren = stat.rfind(')');
      if (close_paren == std::string::npos) continue;
      char state = 0;
      int ppid = -1;
      std::sscanf(stat.c_str() + close_paren + 1, " %c %d", &state, &ppid);
      if (ppid == parent) {
        found.push_back(std::stoi(name));
        frontier.push_back(std::stoi(name));
      }
    }
  }
  return found;
}

// The real app with VESSA_SELFTEST set, its log in a file; stopped with everything it started.
class RunningApp {
 public:
  explicit RunningApp(const std::string& selftest_value) {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    log_ = home_.path() + "/vessa.err";
    proc::Options o;
    o.argv = {VESSA_EXE};
    o.env = proc::current_environment();
    (*o.env)["VESSA_SELFTEST"] = selftest_value;
    // No launch-time update check against the real release host.
    (*o.env)["VESSA_RELEASE_HOST"] = "http://127.0.0.1:1";
    o.out = proc::Stdio::null();
    o.err = proc::Stdio::append(log_);
    auto started = proc::Process::start(o);
    if (started) app_ = *started;
  }
  ~RunningApp() {
    if (!app_) return;
    auto helpers = children_of(app_->pid());
    app_->terminate(2000ms);
    for (pid_t p : helpers) kill(p, SIGKILL);
    for (pid_t p : children_of(getpid())) kill(p, SIGKILL);
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline) {
      pid_t reaped = waitpid(-1, nullptr, WNOHANG);
      if (reaped < 0) break;  // no children left
      if (reaped == 0) std::this_thread::sleep_for(20ms);
    }
  }
  bool started() const { return app_ != nullptr; }
  const std::string& home() const { return home_.path(); }
  std::string log() const { return fs::read_file(log_).value_or(""); }
  /// The text after the first log line holding `marker`, once it appears.
  std::optional<std::string> wait_for_line(const std::string& marker, std::chrono::seconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline && app_->running()) {
      for (const auto& line : split_lines(log())) {
        auto at = line.find(marker);
        if (at != std::string::npos) return line.substr(at + marker.size());
      }
      std::this_thread::sleep_for(200ms);
    }
    return std::nullopt;
  }

 private:
  TempHome home_;
  std::string log_;
  std::shared_ptr<proc::Process> app_;
};

bool have_display() { return std::getenv("DISPLAY") != nullptr; }

TEST(InPageSelfTest, ReportsEveryFamilyReached) {
  if (!have_display()) GTEST_SKIP() << "needs an X display (run under xvfb-run)";
  RunningApp app("1");
  ASSERT_TRUE(app.started());
  auto text = app.wait_for_line("[VessaMac] SELFTEST: ", 120s);
  ASSERT_TRUE(text.has_value()) << app.log();
  auto report = parse_json(*text);
  ASSERT_TRUE(report && report->is_object()) << *text;

  EXPECT_EQ((*report)["ping"], json({{"ok", true}, {"shell", "swift"}}));
  EXPECT_EQ((*report)["storeGet"], "v42");
  EXPECT_TRUE((*report)["notifPerm"].is_boolean()) << (*report)["notifPerm"];
  EXPECT_FALSE((*report)["cli"].is_null());

  struct Member {
    const char* name;
    const char* cmd;
    bool resolves;
  };
  const Member members[] = {
      {"git", "git_detect_tools", true},           {"fs", "read_obsidian_vault", false},
      {"agent", "list_running_agents", true},      {"convex", "convex_status", true},
      {"device", "get_device_identity", true},     {"taskwright", "taskwright_status", true},
      {"radaro", "taskwright_storage_info", true}, {"skyvern", "skyvern_status", true},
  };
  for (const auto& m : members) {
    const json& probe = (*report)[m.name];
    ASSERT_TRUE(probe.is_object()) << m.name << ": " << *text;
    EXPECT_EQ(probe["cmd"], m.cmd);
    EXPECT_EQ(probe["ok"], m.resolves) << m.name << ": " << probe.dump();
    if (!m.resolves) {
      // An ordinary error from the family, not the dispatcher's "not implemented".
      EXPECT_EQ(probe["error"], "Not a folder: /nonexistent-selftest") << probe.dump();
    } else {
      EXPECT_TRUE(probe.contains("value")) << probe.dump();
    }
  }
  EXPECT_EQ(app.log().find("not implemented"), std::string::npos) << app.log();
  auto stored = read_json_file(app.home() + "/.local/share/vessa.app/stores/selftest.json");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ((*stored)["k"], "v42");
}

TEST(InPageSelfTest, OnlyTheValueOneStartsIt) {
  if (!have_display()) GTEST_SKIP() << "needs an X display (run under xvfb-run)";
  RunningApp app("true");
  ASSERT_TRUE(app.started());
  ASSERT_TRUE(app.wait_for_line("page-loaded probe: ", 120s).has_value()) << app.log();
  // Well past the self-test's delay after the load.
  EXPECT_FALSE(app.wait_for_line("SELFTEST", 6s).has_value()) << app.log();
}

}  // namespace
}  // namespace vessa::testing
