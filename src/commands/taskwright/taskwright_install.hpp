// Runtime install, uninstall, reset and status: the work behind handleTaskwright.
#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "commands/command_result.hpp"
#include "support/json.hpp"

namespace vessa::commands {
class CommandRegistry;
}

namespace vessa::commands::taskwright {

/// One whole install run; the caller holds TaskwrightInstallLock and frees it when `finish` is
/// called (exactly once). Blocks for as long as the installer runs. Events go to
/// the registry's application while it exists.
void runTaskwrightInstall(const std::weak_ptr<CommandRegistry>& registry, const Completion& finish);

/// Deletes the runtime home; emits "not-installed". Blocking.
CommandResult run_taskwright_uninstall(const std::weak_ptr<CommandRegistry>& registry);

/// Deletes the runtime home when it looks like ours; the caller holds TaskwrightInstallLock
/// throughout. Blocking.
CommandResult run_taskwright_reset(const std::weak_ptr<CommandRegistry>& registry);

/// The `taskwright_status` object: installed, version, install_path, binary_path,
/// supported_os, install_incomplete.
json taskwright_status();

/// Test hook: how long to wait for both output streams to end once the installer has exited
/// (nullopt restores the 10 s default).
void set_eof_wait_for_testing(std::optional<std::chrono::milliseconds> wait);

}  // namespace vessa::commands::taskwright
