// Log line writer with a replaceable sink for tests.
#include "support/log.hpp"

#include <syslog.h>

#include <cstdio>
#include <mutex>

namespace vessa {
namespace {

std::mutex& sink_mutex() {
  static std::mutex m;
  return m;
}

std::function<void(const std::string&)>& sink() {
  static std::function<void(const std::string&)> s;
  return s;
}

}  // namespace

void log(std::string_view message) {
  std::string line = "[VessaMac] ";
  line.append(message);
  std::scoped_lock lock(sink_mutex());
  if (sink()) {
    sink()(line);
    return;
  }
  syslog(LOG_USER | LOG_NOTICE, "%s", line.c_str());
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stderr);
}

void set_log_sink(std::function<void(const std::string&)> s) {
  std::scoped_lock lock(sink_mutex());
  sink() = std::move(s);
}

}  // namespace vessa
