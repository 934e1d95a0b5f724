// The application-wide "will terminate" moment that components register with.
#pragma once

#include <functional>

namespace vessa::lifecycle {

/// Registers `hook` to run once when the application quits. Any thread. Hooks run in an
/// unspecified order (the components that register them are independent).
void on_will_terminate(std::function<void()> hook);

/// Runs every registered hook once, on the calling thread; later calls do nothing.
/// Called by the application at quit and by the headless runner before it exits.
void run_will_terminate();

}  // namespace vessa::lifecycle
