// The application-wide "will terminate" moment that components register with.
#pragma once

#include <functional>
#include <optional>

namespace vessa::lifecycle {

/// Registers `hook` to run once when the application quits. Any thread. Hooks run in an
/// unspecified order (the components that register them are independent).
void on_will_terminate(std::function<void()> hook);

/// Runs every registered hook once, on the calling thread; later calls do nothing.
/// Called by the application at quit and by the headless runner before it exits.
void run_will_terminate();

/// Asks that the process exit with `status` once the application has quit (the page's exit
/// command). Any thread; the last request wins.
void request_exit_status(int status);
/// The exit status asked for, if any. Any thread.
std::optional<int> requested_exit_status();

}  // namespace vessa::lifecycle
