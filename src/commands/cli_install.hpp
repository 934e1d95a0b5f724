// Installing a coding CLI with its vendor's published install command.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "commands/command_result.hpp"

namespace vessa::commands::cli {

/// The fixed install command line for `tool` (exact, case-sensitive name), or nullopt.
std::optional<std::string> install_script(const std::string& tool);

/// Runs `script` in the login shell (`-l -c`) with PATH = enrichedPath(), standard input from
/// the null device, and waits up to the install limit (15 minutes). Success is
/// "Successfully installed <tool>"; failures carry the installer's own error text. Blocks the
/// calling thread; call it from the pool.
CommandResult runInstaller(const std::string& tool, const std::string& script);

/// Test hook: replaces the 900 s install limit (nullopt restores it).
void set_install_limit_for_testing(std::optional<std::chrono::milliseconds> limit);

}  // namespace vessa::commands::cli
