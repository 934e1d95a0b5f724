// Shared pieces of the Skyvern tests: a fake docker program, a test bundle and an event log.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "commands/app_context.hpp"
#include "commands/command_registry.hpp"
#include "commands/skyvern/skyvern_docker.hpp"
#include "fixtures/helpers.hpp"
#include "fixtures/temp_home.hpp"
#include "support/lines.hpp"
#include "support/paths.hpp"

namespace vessa::testing::skyvern_fixture {

/// Records every event the commands push towards the page (main thread).
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
  /// The "skyvern-status" payloads as "status|message".
  std::vector<std::string> statuses() const {
    std::vector<std::string> out;
    for (const auto& [e, p] : events()) {
      if (e == "skyvern-status") {
        out.push_back(p.value("status", "?") + "|" + p.value("message", "?"));
      }
    }
    return out;
  }
  std::vector<std::string> progress_lines() const {
    std::vector<std::string> out;
    for (const auto& [e, p] : events()) {
      if (e == "skyvern-install-progress") out.push_back(p.value("line", "?"));
    }
    return out;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<std::string, json>> events_;
};

// A docker stand-in: records each call's arguments in calls.log (one line, space-joined) and
// answers sub-command S from the files S.out (printed), S.err (to standard error), S.code (exit
// status), S.hang (sleeps; with "noterm" in it, SIGTERM is ignored; S.pid gets its pid).
inline const char* kFakeDocker = R"SH(#!/bin/bash
dir="$(cd "$(dirname "$0")" && pwd)"
printf '%s\n' "$*" >> "$dir/calls.log"
sub="$1"
if [ -f "$dir/$sub.hang" ]; then
  echo $$ > "$dir/$sub.pid"
  if grep -q noterm "$dir/$sub.hang"; then trap '' TERM; fi
  exec sleep 30
fi
[ -f "$dir/$sub.out" ] && cat "$dir/$sub.out"
[ -f "$dir/$sub.err" ] && cat "$dir/$sub.err" >&2
code=0
[ -f "$dir/$sub.code" ] && code="$(cat "$dir/$sub.code")"
exit "$code"
)SH";

/// Sets an environment variable for one scope and forgets the kept docker search path on both
/// ends, so the path is computed from the variable while it holds.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    const char* old = std::getenv(name);
    if (old != nullptr) old_ = old;
    ::setenv(name, value.c_str(), 1);
    skyvern::resetSkyvernPathForTesting();
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
    skyvern::resetSkyvernPathForTesting();
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

/// A fresh HOME with a fake docker selected through VESSA_DOCKER_BIN; restores everything.
class SkyvernEnv {
 public:
  SkyvernEnv() : fake_dir_(home_.path() + "/fake") {
    write_file(fake_dir_ + "/docker", kFakeDocker, 0755);
    ::setenv("VESSA_DOCKER_BIN", docker().c_str(), 1);
  }
  ~SkyvernEnv() {
    ::unsetenv("VESSA_DOCKER_BIN");
    paths::set_executable_path_for_testing({});
  }
  SkyvernEnv(const SkyvernEnv&) = delete;
  SkyvernEnv& operator=(const SkyvernEnv&) = delete;

  const std::string& home() const { return home_.path(); }
  std::string docker() const { return fake_dir_ + "/docker"; }
  std::string settings_dir() const { return home() + "/.vessa-skyvern"; }

  /// Sets how the fake answers `sub`: its exit status and what it prints.
  void answer(const std::string& sub, int code, const std::string& out = "") const {
    write_file(fake_dir_ + "/" + sub + ".code", std::to_string(code));
    write_file(fake_dir_ + "/" + sub + ".out", out);
  }
  void hang(const std::string& sub, bool ignore_term) const {
    write_file(fake_dir_ + "/" + sub + ".hang", ignore_term ? "noterm" : "term");
  }
  std::string fake_file(const std::string& name) const { return fake_dir_ + "/" + name; }
  /// The recorded docker calls, one per entry.
  std::vector<std::string> calls() const {
    return split_lines(read_file(fake_dir_ + "/calls.log"));
  }

  /// Makes the running program look like `<home>/Bundle.app/bin/vessa` of a bundle whose
  /// Resources/<subdir>/ holds `scripts` (name, content).
  void use_bundle(const std::vector<std::pair<std::string, std::string>>& scripts,
                  const std::string& subdir = "skyvern") const {
    std::string bundle = home() + "/Bundle.app";
    write_file(bundle + "/Info.json", "{}");
    for (const auto& [name, content] : scripts) {
      std::string dir = bundle + "/Resources" + (subdir.empty() ? "" : "/" + subdir);
      write_file(dir + "/" + name, content, 0755);
    }
    paths::set_executable_path_for_testing(bundle + "/bin/vessa");
  }

 private:
  TempHome home_;
  std::string fake_dir_;
};

/// A registry whose events land in a RecordingApp.
struct Harness {
  std::shared_ptr<RecordingApp> app = std::make_shared<RecordingApp>();
  std::shared_ptr<CommandRegistry> registry = std::make_shared<CommandRegistry>(app);

  CommandResult run(const std::string& cmd) { return dispatch_and_wait(*registry, cmd); }
  /// The status events once `n` have arrived (waiting a little for stragglers).
  std::vector<std::string> statuses_after(size_t n) {
    run_until([&] { return app->statuses().size() >= n; }, std::chrono::seconds(5));
    // Anything posted later than expected would show up here too.
    run_until([] { return false; }, std::chrono::milliseconds(50));
    return app->statuses();
  }
};

}  // namespace vessa::testing::skyvern_fixture
