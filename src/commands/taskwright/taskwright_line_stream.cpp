// Turns one installer output stream into lines of text, in order.
#include "commands/taskwright/taskwright_line_stream.hpp"

#include "support/utf8.hpp"

namespace vessa::commands {

void TaskwrightLineStream::feed(std::string_view data) {
  std::scoped_lock lock(mutex_);
  buffer_.append(data);
  size_t start = 0;
  for (size_t nl = buffer_.find('\n'); nl != std::string::npos; nl = buffer_.find('\n', start)) {
    emit(std::string_view(buffer_).substr(start, nl - start));
    start = nl + 1;
  }
  buffer_.erase(0, start);
}

void TaskwrightLineStream::flush() {
  std::scoped_lock lock(mutex_);
  if (buffer_.empty()) return;
  std::string rest = std::move(buffer_);
  buffer_.clear();
  emit(rest);
}

void TaskwrightLineStream::emit(std::string_view line_bytes) {
  if (!is_valid_utf8(line_bytes)) return;
  if (!line_bytes.empty() && line_bytes.back() == '\r') line_bytes.remove_suffix(1);
  if (on_line_) on_line_(std::string(line_bytes));
}

}  // namespace vessa::commands
