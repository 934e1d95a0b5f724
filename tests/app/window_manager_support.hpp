// A window manager for window tests: a bare X server has none, and without one nothing
// maximises, minimises or reports a window state. Starts openbox on the test's display unless
// another window manager already runs there; stops and reaps it when done.
#pragma once

#include <glib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "fixtures/temp_home.hpp"
#include "support/glib_ptr.hpp"
#include "support/subprocess.hpp"

namespace vessa::testing {

class WindowManager {
 public:
  WindowManager() {
    const char* path = std::getenv("PATH");
    auto openbox = proc::find_in_path("openbox", path ? path : "");
    if (!openbox) {
      error_ =
          "openbox is not installed: window tests need a window manager (scripts/bootstrap "
          "installs it)";
      return;
    }
    dir_ = make_temp_dir("vessa-wm-");
    std::string ready = dir_ + "/ready";
    std::string log = dir_ + "/openbox.log";
    // openbox runs its start-up command once it manages the screen: that file is the signal.
    GCharPtr quoted(g_shell_quote(ready.c_str()));
    auto started = proc::Process::start(
        {.argv = {*openbox, "--sm-disable", "--startup", "touch " + std::string(quoted.get())},
         .out = proc::Stdio::append(log),
         .err = proc::Stdio::append(log)});
    if (!started) {
      error_ = "openbox did not start: " + started.error();
      return;
    }
    process_ = *started;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
      if (std::filesystem::exists(ready)) return;
      if (auto status = process_->try_wait()) {
        process_.reset();
        std::string said = read_file(log);
        // Without --replace openbox leaves a running window manager alone and ends.
        if (said.find("already running") == std::string::npos) {
          error_ = "openbox ended (" + status->describe() + "): " + said;
        }
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    error_ = "openbox did not take the screen in time: " + read_file(log);
  }

  ~WindowManager() {
    if (process_) process_->terminate(std::chrono::milliseconds(1000));
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  WindowManager(const WindowManager&) = delete;
  WindowManager& operator=(const WindowManager&) = delete;

  /// Empty when the display has a window manager (ours or another one).
  const std::string& error() const { return error_; }

 private:
  std::string dir_;
  std::string error_;
  std::shared_ptr<proc::Process> process_;
};

}  // namespace vessa::testing
