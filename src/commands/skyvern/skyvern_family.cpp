// Skyvern container lifecycle commands: status, the two installers, start, stop, uninstall.
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>

#include "commands/background.hpp"
#include "commands/command_registry.hpp"
#include "commands/families.hpp"
#include "commands/skyvern/skyvern_docker.hpp"
#include "commands/skyvern/skyvern_script.hpp"

namespace vessa::commands {
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

void emit_status(const std::weak_ptr<CommandRegistry>& weak, const std::string& status,
                 const std::string& message) {
  skyvernEmit(weak, "skyvern-status", json{{"status", status}, {"message", message}});
}

std::function<void(const std::string&)> progress_sink(std::weak_ptr<CommandRegistry> weak) {
  return [weak = std::move(weak)](const std::string& line) {
    skyvernEmit(weak, "skyvern-install-progress", json{{"line", line}});
  };
}

// Runs an installer's work behind the gate. The flag is cleared before the page hears the
// outcome, so an install the page starts on seeing it is never refused.
void run_gated(const std::string& cmd, std::weak_ptr<CommandRegistry> weak, const Completion& done,
               Work work) {
  bool refused = false;
  {
    std::scoped_lock lock(install_gate());
    refused = install_in_flight;
    install_in_flight = true;
  }
  if (refused) {
    done(CommandResult::failure("An install is already in progress."));
    return;
  }
  Completion clear_then_done = [done](CommandResult result) {
    {
      std::scoped_lock lock(install_gate());
      install_in_flight = false;
    }
    done(std::move(result));
  };
  background::run(cmd, std::move(clear_then_done),
                  [weak = std::move(weak), work = std::move(work)] {
                    if (weak.expired()) return CommandResult::failure("registry gone");
                    return work(weak);
                  });
}

CommandResult install_skyvern(const std::weak_ptr<CommandRegistry>& weak) {
  if (!skyvernDockerOnPath()) {
    emit_status(weak, "docker-missing", kDockerMissing);
    return CommandResult::failure(kDockerMissing);
  }
  auto script = skyvern::skyvernLocateScript("install-skyvern.sh");
  if (!script) {
    return CommandResult::failure(
        "install-skyvern.sh not found (checked Resources/skyvern, Resources, and ancestor dirs)");
  }
  emit_status(weak, "installing", "Pulling Skyvern image and starting container\u2026");
  auto run = skyvern::skyvernRunScript(*script, "Failed to spawn installer", progress_sink(weak));
  if (run.spawnError) return CommandResult::failure(*run.spawnError);
  if (!run.exitedZero) {
    std::string message = "Installer exited with status " + run.exitDebug;
    emit_status(weak, "error", message);
    return CommandResult::failure(message);
  }
  emit_status(weak, "ready", "Skyvern is up.");
  return CommandResult::success(run.lastLine);
}

CommandResult install_docker(const std::weak_ptr<CommandRegistry>& weak) {
  if (skyvernDockerOnPath() && skyvernDockerRunning()) {
    return CommandResult::success("Docker is already running.");
  }
  auto script = skyvern::skyvernLocateScript("install-docker.sh");
  if (!script) {
    return CommandResult::failure(
        "install-docker.sh not found (checked resources + ancestor dirs)");
  }
  emit_status(weak, "installing-docker", "Setting up a Docker runtime (colima)\u2026");
  auto run =
      skyvern::skyvernRunScript(*script, "Failed to spawn docker installer", progress_sink(weak));
  if (run.spawnError) return CommandResult::failure(*run.spawnError);
  if (run.exitedZero && skyvernDockerRunning()) {
    emit_status(weak, "docker-ready", "Docker is ready. You can install Skyvern now.");
    return CommandResult::success("docker-ready");
  }
  std::string message = run.exitCode == 10 ? std::string(kHomebrewMissing)
                                           : "Docker setup did not complete (exit " +
                                                 run.exitDebug + "). See the log above.";
  emit_status(weak, "error", message);
  return CommandResult::failure(message);
}

CommandResult start_or_stop(const std::weak_ptr<CommandRegistry>& weak, const std::string& verb) {
  auto r = skyvernRun(skyvernDockerProcess({verb, skyvern::kContainerName}), 180);
  if (!r) {
    return CommandResult::failure("docker " + verb + " failed: could not run " +
                                  skyvernDockerBin());
  }
  if (!r->status.success()) {
    return CommandResult::failure("docker " + verb + " exited " + r->status.describe());
  }
  if (verb == "start") {
    emit_status(weak, "ready", "Skyvern started.");
    return CommandResult::success("started");
  }
  emit_status(weak, "not-installed", "Skyvern stopped.");
  return CommandResult::success("stopped");
}

CommandResult uninstall(const std::weak_ptr<CommandRegistry>& weak) {
  // The container may well be gone already; only the data folder decides the outcome.
  skyvernRun(skyvernDockerProcess({"rm", "-f", skyvern::kContainerName}), 60);
  const std::string dir = skyvern::skyvern_settings_dir();
  std::error_code ec;
  if (std::filesystem::exists(std::filesystem::symlink_status(dir, ec))) {
    std::filesystem::remove_all(dir, ec);
    if (ec) {
      return CommandResult::failure("Failed to remove \"" + dir + "\": " + ec.message());
    }
  }
  emit_status(weak, "not-installed", "Skyvern container removed and data wiped.");
  return CommandResult::success("uninstalled");
}

// The commands without the gate run on the pool and always complete.
void run_plain(const std::string& cmd, std::weak_ptr<CommandRegistry> weak, const Completion& done,
               Work work) {
  background::run(cmd, done,
                  [weak = std::move(weak), work = std::move(work)] { return work(weak); });
}

}  // namespace

bool handleSkyvern(FamilyContext& ctx, const std::string& cmd, const json& /*args*/,
                   const Completion& done) {
  std::weak_ptr<CommandRegistry> weak = ctx.registry().weak_from_this();
  if (cmd == "skyvern_status") {
    run_plain(cmd, weak, done, [](const std::weak_ptr<CommandRegistry>&) {
      return CommandResult::success(skyvern::skyvern_status_snapshot());
    });
  } else if (cmd == "skyvern_install") {
    run_gated(cmd, weak, done, install_skyvern);
  } else if (cmd == "skyvern_install_docker") {
    run_gated(cmd, weak, done, install_docker);
  } else if (cmd == "skyvern_start" || cmd == "skyvern_stop") {
    std::string verb = cmd == "skyvern_start" ? "start" : "stop";
    run_plain(cmd, weak, done,
              [verb](const std::weak_ptr<CommandRegistry>& w) { return start_or_stop(w, verb); });
  } else if (cmd == "skyvern_uninstall") {
    run_plain(cmd, weak, done, uninstall);
  } else {
    return false;
  }
  return true;
}

}  // namespace vessa::commands
