// Shared pieces of the Skyvern tests: a fake docker program, a test bundle and an event log.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "commands/command_registry.hpp"
#include "commands/skyvern/skyvern_docker.hpp"
#include "fixtures/bundle.hpp"
#include "fixtures/helpers.hpp"
#include "fixtures/recording_app.hpp"
#include "fixtures/scripts.hpp"
#include "support/lines.hpp"

namespace vessa::testing::skyvern_fixture {

// A docker stand-in: records each call's arguments in calls.log (one line, space-joined) and
// answers sub-command S from the files S.out (printed) and S.code (exit status).
inline const char* kFakeDocker = R"SH(dir="$(cd "$(dirname "$0")" && pwd)"
printf '%s\n' "$*" >> "$dir/calls.log"
sub="$1"
[ -f "$dir/$sub.out" ] && cat "$dir/$sub.out"
exit "$(cat "$dir/$sub.code" 2>/dev/null || echo 0)")SH";

/// Sets an environment variable for one scope and forgets the kept docker search path on both
/// ends, so the path is computed from the variable while it holds.
struct ScopedPathEnv {
  ScopedPathEnv(const char* name, const std::string& value) : env(name, value) {
    commands::skyvern::reset_skyvern_path_for_testing();
  }
  ~ScopedPathEnv() { commands::skyvern::reset_skyvern_path_for_testing(); }
  ScopedEnv env;
};

/// A fresh HOME with a fake docker selected through VESSA_DOCKER_BIN; restores everything.
class SkyvernEnv {
 public:
  SkyvernEnv() : fake_dir_(home_.path() + "/fake") {
    write_script(fake_dir_ + "/docker", kFakeDocker, "#!/bin/bash");
    use_docker(docker());
  }
  SkyvernEnv(const SkyvernEnv&) = delete;
  SkyvernEnv& operator=(const SkyvernEnv&) = delete;

  const std::string& home() const { return home_.path(); }
  std::string docker() const { return fake_dir_ + "/docker"; }
  std::string settings_dir() const { return home() + "/.vessa-skyvern"; }
  void use_docker(const std::string& program) { docker_.emplace("VESSA_DOCKER_BIN", program); }

  /// Sets how the fake answers `sub`: its exit status and what it prints.
  void answer(const std::string& sub, int code, const std::string& out = "") const {
    write_file(fake_dir_ + "/" + sub + ".code", std::to_string(code));
    write_file(fake_dir_ + "/" + sub + ".out", out);
  }
  /// The recorded docker calls, one per entry.
  std::vector<std::string> calls() const {
    return split_lines(read_file(fake_dir_ + "/calls.log"));
  }

  /// Makes the running program look like `<home>/Bundle.app/bin/vessa` of a bundle whose
  /// Resources/<subdir>/ holds `scripts` (name, content).
  void use_bundle(const BundleFiles& scripts, const std::string& subdir = "skyvern/") {
    BundleFiles files;
    for (const auto& [name, content] : scripts)
      files.emplace_back("Resources/" + subdir + name, content);
    running_.emplace(write_bundle(home() + "/Bundle.app", files) + "/bin/vessa");
  }
  void run_from(const std::string& executable) { running_.emplace(executable); }

 private:
  TempHome home_;
  std::string fake_dir_;
  std::optional<ScopedEnv> docker_;
  std::optional<ScopedExecutable> running_;
};

/// A registry whose events land in a RecordingApp.
struct Harness {
  std::shared_ptr<RecordingApp> app = std::make_shared<RecordingApp>();
  std::shared_ptr<commands::CommandRegistry> registry =
      std::make_shared<commands::CommandRegistry>(app);

  commands::CommandResult run(const std::string& cmd) { return dispatch_and_wait(*registry, cmd); }
  std::vector<std::string> progress() const { return app->lines("skyvern-install-progress"); }
  /// The status events once `n` have arrived (waiting a little for stragglers).
  std::vector<std::string> statuses_after(size_t n) {
    run_until([&] { return app->statuses("skyvern-status").size() >= n; }, std::chrono::seconds(5));
    run_until([] { return false; }, std::chrono::milliseconds(50));
    return app->statuses("skyvern-status");
  }
};

}  // namespace vessa::testing::skyvern_fixture
