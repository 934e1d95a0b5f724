// `vessa --selftest-commands`: probes one command of every family, no window.
#pragma once

namespace vessa::selftest {

/// Runs the command self-test, printing its report; returns the exit status.
int runCommandSelfTest();

}  // namespace vessa::selftest
