// Text handling for the Skyvern commands: UTF-8 checks and the installers' line stream.
#include "commands/skyvern/skyvern_text.hpp"

#include <cstdint>

namespace vessa::skyvern {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// At `i`: the length of a complete, well-formed sequence (> 0), or minus the length of the
// maximal ill-formed subpart to replace with one U+FFFD (< 0).
long sequence_at(const unsigned char* p, size_t n, size_t i) {
  unsigned char c = p[i];
  if (c < 0x80) return 1;
  size_t len = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;  // no overlong forms
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return -1;
  }
  size_t k = 1;
  for (; k < len && i + k < n; ++k) {
    unsigned char b = p[i + k];
    unsigned char min = k == 1 ? lo : 0x80;
    unsigned char max = k == 1 ? hi : 0xBF;
    if (b < min || b > max) break;
  }
  return k == len ? static_cast<long>(len) : -static_cast<long>(k);
}

}  // namespace

bool valid_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    long l = sequence_at(p, text.size(), i);
    if (l < 0) return false;
    i += static_cast<size_t>(l);
  }
  return true;
}

std::string utf8_lossy(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    long l = sequence_at(p, text.size(), i);
    if (l > 0) {
      out.append(text.substr(i, static_cast<size_t>(l)));
      i += static_cast<size_t>(l);
    } else {
      out.append(kReplacement);
      i += static_cast<size_t>(-l);
    }
  }
  return out;
}

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

}  // namespace vessa::skyvern
