// `vessa --invoke CMD [ARGS_JSON]`: one command through the registry, no window.
#pragma once

namespace vessa::app {

/// Runs the headless command runner; returns the process exit status (0 success, 1 failure,
/// 2 bad usage). `argv` holds the whole command line.
int run_invoke(int argc, char** argv);

}  // namespace vessa::app
