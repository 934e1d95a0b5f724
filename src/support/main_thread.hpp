// The main thread: GTK, WebKit and everything documented "main thread only" run there.
#pragma once

namespace vessa {

/// Makes the calling thread the main thread. Until then it is the program's first thread (the
/// one that ran static initialisation); the program's entry calls this first thing.
void record_main_thread();

/// True on the main thread.
bool on_main_thread();

#ifndef VESSA_NO_DEV_CHECKS
/// Ends the process with a log line naming the caller when called on any other thread than the
/// main one: such a call races GTK and state that is kept without locks. Checked in developer
/// and debug builds (the tests run with it); nothing at all in release builds.
// The builtins rather than std::source_location: clang 14 with libstdc++ 12 (the fuzz and tidy
// builds) has no std::source_location.
void assert_main_thread(const char* function = __builtin_FUNCTION(),
                        const char* file = __builtin_FILE(), int line = __builtin_LINE());
#else
inline void assert_main_thread() {}
#endif

}  // namespace vessa
