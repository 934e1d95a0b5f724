// Finding and running docker for the Skyvern container, and reading the service's settings.
// Every helper blocks its thread on child processes: call them from pool threads only.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "support/json.hpp"
#include "support/subprocess.hpp"

namespace vessa::commands::skyvern {

inline constexpr const char* kContainerName = "vessa-skyvern";

/// $HOME when set and non-empty, else the password database's home, else "/tmp".
std::string skyvernHomeDir();
/// `<home>/.vessa-skyvern`.
std::string skyvern_settings_dir();
/// `<home>/.vessa-skyvern/skyvern.env`.
std::string skyvernEnvFilePath();

/// The PATH for docker and the installer scripts: docker's usual folders, then the launch
/// environment's PATH, then the system folders; each folder once. Computed on first use and
/// kept for the life of the process. Any thread.
std::string skyvernPath();
/// Test hook: forgets the kept search path so the next call computes it again.
void reset_skyvern_path_for_testing();

/// $VESSA_DOCKER_BIN when set and non-empty (not checked), else the first docker found in the
/// usual install places, else the bare name "docker".
std::string skyvernDockerBin();

/// Runs `options` to its end or until `timeout_seconds` pass (then SIGTERM, 300 ms, SIGKILL).
/// Output on pipes is captured (bounded). Nullopt when the child could not start or had to be
/// stopped.
std::optional<proc::Output> skyvernRun(const proc::Options& options, double timeout_seconds);

/// A docker command line with `args`: the environment is ours with PATH = skyvernPath().
/// Standard streams default to the null device; callers set what they read.
proc::Options skyvernDockerProcess(const std::vector<std::string>& args);

/// Whether a docker program is there: the configured path exists, or `command -v docker`
/// succeeds on the search path (10 s limit).
bool skyvernDockerOnPath();
/// Whether `docker info` succeeds within 20 s.
bool skyvernDockerRunning();

struct ContainerState {
  bool exists = false;
  bool running = false;
};
/// The container's state from the first line of `docker ps -a` for its name (20 s limit).
ContainerState skyvernContainerState();

struct EnvSettings {
  std::optional<std::string> endpoint;  // "http://localhost:<port>"
  bool hasApiKey = false;
};
/// Parses `text` as the settings file (KEY=VALUE lines, "#" comments, no quoting).
EnvSettings skyvern_parse_env_text(const std::string& text);
/// Reads and parses the settings file; a missing, unreadable or non-UTF-8 file gives no endpoint
/// and no key.
EnvSettings skyvernParseEnvFile();

/// The `skyvern_status` snapshot (seven keys). Never fails; up to ~50 s when docker hangs.
json skyvern_status_snapshot();

}  // namespace vessa::commands::skyvern
