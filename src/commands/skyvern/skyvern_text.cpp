// Text handling for the Skyvern commands: UTF-8 checks and the installers' line stream.
#include "commands/skyvern/skyvern_text.hpp"

#include <cstdint>

namespace vessa::commands::skyvern {

void ScriptLineStream::feed(std::string_view chunk) {
  buffer_.append(chunk);
  size_t start = 0;
  for (size_t nl = buffer_.find('\n'); nl != std::string::npos; nl = buffer_.find('\n', start)) {
    std::string line = utf8_lossy(std::string_view(buffer_).substr(start, nl - start));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    start = nl + 1;
    on_line_(line);
  }
  buffer_.erase(0, start);
}

void ScriptLineStream::finish() {
  if (buffer_.empty()) return;
  std::string line = utf8_lossy(buffer_);
  buffer_.clear();
  on_line_(line);
}

}  // namespace vessa::commands::skyvern
