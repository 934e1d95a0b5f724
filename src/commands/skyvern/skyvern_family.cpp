// Skyvern container lifecycle commands: status, the two installers, start, stop, uninstall.
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>

#include "commands/command_registry.hpp"
#include "commands/skyvern/skyvern_docker.hpp"
#include "commands/skyvern/skyvern_script.hpp"
#include "support/dispatch.hpp"
#include "support/log.hpp"

namespace vessa {
namespace {

using skyvern::skyvernDockerBin;
using skyvern::skyvernDockerOnPath;
using skyvern::skyvernDockerProcess;
using skyvern::skyvernDockerRunning;
using skyvern::skyvernRun;

using Work = std::function<CommandResult(const std::weak_ptr<CommandRegistry>&)>;

constexpr const char* kDockerMissing =
    "Docker not found. Install Docker Desktop, start it, then click Install again.";
constexpr const char* kHomebrewMissing =
    "Homebrew is required to auto-install Docker. Install it once (see the log), then click "
    "Install Docker again.";

// One flag for both installers: they would fight over the same docker and settings.
std::mutex& install_gate() {
  static std::mutex m;
  return m;
}
bool install_in_flight = false;

// The application posts events to the main queue itself; posting them from here, before the
// completion, lets them reach the page ahead of the command's outcome.
void skyvernEmit(const std::weak_ptr<CommandRegistry>& weak, const std::string& event,
                 const json& payload) {
  auto registry = weak.lock();
  if (!registry) return;
  if (auto app = registry->appDelegate()) app->emit(event, payload);
}

void emitStatus(const std::weak_ptr<CommandRegistry>& weak, const std::string& status,
                const std::string& message) {
  skyvernEmit(weak, "skyvern-status", json{{"status", status}, {"message", message}});
}

std::function<void(const std::string&)> progressSink(std::weak_ptr<CommandRegistry> weak) {
  return [weak = std::move(weak)](const std::string& line) {
    skyvernEmit(weak, "skyvern-install-progress", json{{"line", line}});
  };
}

CommandResult guarded(const std::string& cmd, const std::function<CommandResult()>& work) {
  try {
    return work();
  } catch (const std::exception& e) {
    vessa::log("command " + cmd + " threw: " + e.what());
    return CommandResult::failure(cmd + ": internal error: " + e.what());
  } catch (...) {
    vessa::log("command " + cmd + " threw");
    return CommandResult::failure(cmd + ": internal error");
  }
}

// Runs an installer's work behind the gate. The flag is cleared before the page hears the
// outcome, so an install the page starts on seeing it is never refused.
void runGated(const std::string& cmd, std::weak_ptr<CommandRegistry> weak, const Completion& done,
              Work work) {
  {
    std::lock_guard lock(install_gate());
    if (install_in_flight) {
      done(CommandResult::failure("An install is already in progress."));
      return;
    }
    install_in_flight = true;
  }
  dispatch::global_async([cmd, weak = std::move(weak), done, work = std::move(work)] {
    CommandResult result = CommandResult::failure("registry gone");
    if (!weak.expired()) result = guarded(cmd, [&] { return work(weak); });
    {
      std::lock_guard lock(install_gate());
      install_in_flight = false;
    }
    done(std::move(result));
  });
}

CommandResult installSkyvern(const std::weak_ptr<CommandRegistry>& weak) {
  if (!skyvernDockerOnPath()) {
    emitStatus(weak, "docker-missing", kDockerMissing);
    return CommandResult::failure(kDockerMissing);
  }
  auto script = skyvern::skyvernLocateScript("install-skyvern.sh");
  if (!script) {
    return CommandResult::failure(
        "install-skyvern.sh not found (checked Resources/skyvern, Resources, and ancestor dirs)");
  }
  emitStatus(weak, "installing", "Pulling Skyvern image and starting container\u2026");
  auto run = skyvern::skyvernRunScript(*script, "Failed to spawn installer", progressSink(weak));
  if (run.spawnError) return CommandResult::failure(*run.spawnError);
  if (!run.exitedZero) {
    std::string message = "Installer exited with status " + run.exitDebug;
    emitStatus(weak, "error", message);
    return CommandResult::failure(message);
  }
  emitStatus(weak, "ready", "Skyvern is up.");
  return CommandResult::success(run.lastLine);
}

CommandResult installDocker(const std::weak_ptr<CommandRegistry>& weak) {
  if (skyvernDockerOnPath() && skyvernDockerRunning()) {
    return CommandResult::success("Docker is already running.");
  }
  auto script = skyvern::skyvernLocateScript("install-docker.sh");
  if (!script) {
    return CommandResult::failure(
        "install-docker.sh not found (checked resources + ancestor dirs)");
  }
  emitStatus(weak, "installing-docker", "Setting up a Docker runtime (colima)\u2026");
  auto run =
      skyvern::skyvernRunScript(*script, "Failed to spawn docker installer", progressSink(weak));
  if (run.spawnError) return CommandResult::failure(*run.spawnError);
  if (run.exitedZero && skyvernDockerRunning()) {
    emitStatus(weak, "docker-ready", "Docker is ready. You can install Skyvern now.");
    return CommandResult::success("docker-ready");
  }
  std::string message = run.exitCode == 10 ? std::string(kHomebrewMissing)
                                           : "Docker setup did not complete (exit " +
                                                 run.exitDebug + "). See the log above.";
  emitStatus(weak, "error", message);
  return CommandResult::failure(message);
}

CommandResult startOrStop(const std::weak_ptr<CommandRegistry>& weak, const std::string& verb) {
  auto r = skyvernRun(skyvernDockerProcess({verb, skyvern::kContainerName}), 180);
  if (!r)
    return CommandResult::failure("docker " + verb + " failed: could not run " +
                                  skyvernDockerBin());
  if (!r->status.success()) {
    return CommandResult::failure("docker " + verb + " exited " + r->status.describe());
  }
  if (verb == "start") {
    emitStatus(weak, "ready", "Skyvern started.");
    return CommandResult::success("started");
  }
  emitStatus(weak, "not-installed", "Skyvern stopped.");
  return CommandResult::success("stopped");
}

CommandResult uninstall(const std::weak_ptr<CommandRegistry>& weak) {
  // The container may well be gone already; only the data folder decides the outcome.
  skyvernRun(skyvernDockerProcess({"rm", "-f", skyvern::kContainerName}), 60);
  const std::string dir = skyvern::skyvernSettingsDir();
  std::error_code ec;
  if (std::filesystem::exists(std::filesystem::symlink_status(dir, ec))) {
    std::filesystem::remove_all(dir, ec);
    if (ec) {
      return CommandResult::failure("Failed to remove \"" + dir + "\": " + ec.message());
    }
  }
  emitStatus(weak, "not-installed", "Skyvern container removed and data wiped.");
  return CommandResult::success("uninstalled");
}

// The commands without the gate run on the pool and always complete.
void runPlain(const std::string& cmd, std::weak_ptr<CommandRegistry> weak, const Completion& done,
              Work work) {
  dispatch::global_async([cmd, weak = std::move(weak), done, work = std::move(work)] {
    done(guarded(cmd, [&] { return work(weak); }));
  });
}

}  // namespace

bool CommandRegistry::handleSkyvern(const std::string& cmd, const json& /*args*/,
                                    const Completion& done) {
  std::weak_ptr<CommandRegistry> weak = weak_from_this();
  if (cmd == "skyvern_status") {
    runPlain(cmd, weak, done, [](const std::weak_ptr<CommandRegistry>&) {
      return CommandResult::success(skyvern::skyvernStatusSnapshot());
    });
  } else if (cmd == "skyvern_install") {
    runGated(cmd, weak, done, installSkyvern);
  } else if (cmd == "skyvern_install_docker") {
    runGated(cmd, weak, done, installDocker);
  } else if (cmd == "skyvern_start" || cmd == "skyvern_stop") {
    std::string verb = cmd == "skyvern_start" ? "start" : "stop";
    runPlain(cmd, weak, done,
             [verb](const std::weak_ptr<CommandRegistry>& w) { return startOrStop(w, verb); });
  } else if (cmd == "skyvern_uninstall") {
    runPlain(cmd, weak, done, uninstall);
  } else {
    return false;
  }
  return true;
}

}  // namespace vessa
