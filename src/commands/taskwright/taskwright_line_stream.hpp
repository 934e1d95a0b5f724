// Turns one installer output stream into lines of text, in order.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace vessa::commands {

/// One per output stream of one installer run. `feed` and `flush` are serialised, so lines of
/// a stream reach `onLine` one at a time and in order. Any thread.
class TaskwrightLineStream {
 public:
  using LineCallback = std::function<void(const std::string&)>;
  explicit TaskwrightLineStream(LineCallback onLine) : on_line_(std::move(onLine)) {}

  /// Appends bytes and delivers every complete line: split at "\n", one trailing "\r" removed,
  /// empty lines delivered, lines that are not valid UTF-8 dropped.
  void feed(std::string_view data);
  /// Delivers what is left (a last line without "\n") as one line; nothing when empty.
  void flush();

 private:
  void emit(std::string_view line_bytes);

  std::mutex mutex_;
  std::string buffer_;
  LineCallback on_line_;
};

}  // namespace vessa::commands
