// The one logging call: "[VessaMac] " lines to the system log and standard error.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace vessa {

/// Writes "[VessaMac] " + message to syslog (LOG_USER) and standard error. Any thread.
void log(std::string_view message);

/// Replaces where log lines go (tests capture them); an empty function restores the default.
/// The sink receives the full line including the prefix.
void set_log_sink(std::function<void(const std::string&)> sink);

}  // namespace vessa
