// Runs the C++ side of a C callback (GLib, GTK, WebKit): an exception never unwinds into C code,
// where it would end the process; it is logged instead.
#pragma once

#include <exception>
#include <string>
#include <utility>

#include "support/log.hpp"

namespace vessa {

namespace callback_guard_detail {

// Logs "<failure>: <what>" (or "<failure>" for anything not a std::exception). Never throws: a
// log line that cannot be made is dropped.
inline void report(const char* failure, std::exception_ptr error) noexcept {
  try {
    try {
      std::rethrow_exception(std::move(error));
    } catch (const std::exception& e) {
      vessa::log(std::string(failure) + ": " + e.what());
    } catch (...) {
      vessa::log(failure);
    }
  } catch (...) {  // NOLINT(bugprone-empty-catch): nothing is left to report it with
  }
}

}  // namespace callback_guard_detail

/// Runs `work`; what it throws is logged as "`failure`: what()" and goes no further.
template <class Work>
void guard_callback(const char* failure, Work&& work) noexcept {
  try {
    std::forward<Work>(work)();
  } catch (...) {
    callback_guard_detail::report(failure, std::current_exception());
  }
}

/// The same for a callback that answers: `work`'s result, or `fallback` when it threw.
template <class Result, class Work>
Result guard_callback(const char* failure, Result fallback, Work&& work) noexcept {
  try {
    return std::forward<Work>(work)();
  } catch (...) {
    callback_guard_detail::report(failure, std::current_exception());
    return fallback;
  }
}

}  // namespace vessa
