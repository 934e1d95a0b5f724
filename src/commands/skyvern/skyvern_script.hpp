// Locating and running the Skyvern installer scripts with their output streamed line by line.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace vessa::commands::skyvern {

/// The outcome of one installer run.
struct SkyvernScriptRun {
  std::optional<int> exitCode;  // set for a normal exit only
  bool exitedZero = false;
  std::string exitDebug = "None";  // "Some(<status>)" or "None"
  std::string lastLine;            // last standard-output line that is not blank, as received
  std::optional<std::string> spawnError;
};

/// `name` in the bundle's Resources/skyvern/, then Resources/; else `apps/desktop/skyvern/name`
/// below the executable's folder or one of its ancestors (ten folders in all). Nullopt when
/// none exists.
std::optional<std::string> skyvernLocateScript(const std::string& name);

/// Runs `/bin/bash path` with PATH = skyvernPath() and waits for it without a time limit.
/// `on_progress` gets every output line as it arrives (standard error lines prefixed with
/// "[docker] "), on the calling thread. A start failure is reported as
/// `spawn_error_prefix + ": " + reason`.
SkyvernScriptRun skyvernRunScript(const std::string& path, const std::string& spawn_error_prefix,
                                  const std::function<void(const std::string&)>& on_progress);

}  // namespace vessa::commands::skyvern
