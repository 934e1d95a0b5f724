// Starting a fresh instance of this program, for the process plug-in's relaunch.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vessa::commands::relaunch {

/// The command line of the new instance, from this process's raw /proc/self/cmdline bytes:
/// `program` followed by the same arguments. Empty when the cmdline is empty or this run
/// is a one-shot command run ("--invoke", "--selftest-commands"), which has no instance to
/// replace and would otherwise start itself again and again.
std::vector<std::string> new_instance_argv(std::string_view cmdline, const std::string& program);

/// Starts the new instance of the running executable (its resolved path, so the new instance
/// keeps a meaningful program name; "/proc/self/exe" when that path is gone), detached in its
/// own process group. False when nothing started.
bool start_new_instance();

/// Names the instance a new one replaces ("<pid> <start time>") in the new one's environment.
inline constexpr const char* kReplacesEnv = "VESSA_REPLACES_INSTANCE";

/// In a new instance: waits until the instance kReplacesEnv names has ended (at most `limit`;
/// until then it holds the application's name on the session bus, and this launch would only
/// hand itself over to it), then drops the variable so children do not inherit it. True when
/// this launch replaces an instance. Before any other thread starts.
bool wait_for_replaced_instance(std::chrono::milliseconds limit);

/// Test hook: replaces how the new instance is started (empty function restores the default).
void set_starter_for_testing(std::function<bool(const std::vector<std::string>&)> starter);

}  // namespace vessa::commands::relaunch
