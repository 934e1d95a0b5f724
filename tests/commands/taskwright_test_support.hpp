// Shared pieces of the Taskwright tests: an application that records events, a fake bundle
// holding a test installer, and a fake runtime program.
#pragma once

#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "commands/app_context.hpp"
#include "commands/command_registry.hpp"
#include "fixtures/helpers.hpp"
#include "fixtures/temp_home.hpp"
#include "support/paths.hpp"

namespace vessa::testing {

/// Records every event pushed to the page.
class RecordingApp : public AppContext {
 public:
  void emit(const std::string& event, const json& payload) override {
    std::lock_guard lock(mutex_);
    events_.emplace_back(event, payload);
  }
  void quit() override {}

  std::vector<std::pair<std::string, json>> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  /// The `line` of every "taskwright-install-progress" event, in order.
  std::vector<std::string> progress() const {
    std::vector<std::string> out;
    for (const auto& [name, payload] : events()) {
      if (name == "taskwright-install-progress") out.push_back(payload.value("line", ""));
    }
    return out;
  }
  /// `status` + "|" + `message` of every "taskwright-status" event, in order.
  std::vector<std::string> statuses() const {
    std::vector<std::string> out;
    for (const auto& [name, payload] : events()) {
      if (name == "taskwright-status") {
        out.push_back(payload.value("status", "") + "|" + payload.value("message", ""));
      }
    }
    return out;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<std::string, json>> events_;
};

/// A fresh home, a recording application and a registry owned the way the application owns it.
struct TaskwrightEnv {
  TempHome home;
  std::shared_ptr<RecordingApp> app = std::make_shared<RecordingApp>();
  std::shared_ptr<CommandRegistry> registry = std::make_shared<CommandRegistry>(app);

  std::string tw_home() const { return home.path() + "/.vessa-taskwright"; }
  CommandResult run(const std::string& cmd, const json& args = json::object()) {
    return dispatch_and_wait(*registry, cmd, args, std::chrono::seconds(60));
  }
};

/// Makes the executable appear to run from a bundle under `root` whose installer is `script`
/// (a bash script body); restores the real executable path when destroyed.
class FakeBundle {
 public:
  FakeBundle(const std::string& root, const std::string& script) {
    write_file(root + "/Fake.app/Info.json", "{}");
    installer_ = write_file(root + "/Fake.app/Resources/taskwright/install-taskwright.sh",
                            "#!/bin/bash\n" + script, 0755);
    paths::set_executable_path_for_testing(root + "/Fake.app/bin/vessa");
  }
  ~FakeBundle() { paths::set_executable_path_for_testing({}); }
  FakeBundle(const FakeBundle&) = delete;
  FakeBundle& operator=(const FakeBundle&) = delete;
  const std::string& installer() const { return installer_; }

 private:
  std::string installer_;
};

/// Kills the process whose id a test script wrote to `pid_file` (when it did), also when the
/// test fails early.
class PidFileGuard {
 public:
  explicit PidFileGuard(std::string pid_file) : pid_file_(std::move(pid_file)) {}
  ~PidFileGuard() {
    std::string text = read_file(pid_file_);
    if (!text.empty()) {
      int pid = std::atoi(text.c_str());
      if (pid > 1) ::kill(pid, SIGKILL);
    }
  }
  PidFileGuard(const PidFileGuard&) = delete;
  PidFileGuard& operator=(const PidFileGuard&) = delete;

 private:
  std::string pid_file_;
};

}  // namespace vessa::testing
