// Turns JSON values into JavaScript literals for scripts evaluated in the page.
#include "bridge/js.hpp"

#include <cstring>

namespace vessa::JS {
namespace {

void append_u_escape(std::string& out, uint32_t unit) {
  static constexpr char kHex[] = "0123456789abcdef";
  const char buf[6] = {'\\',
                       'u',
                       kHex[(unit >> 12) & 0xF],
                       kHex[(unit >> 8) & 0xF],
                       kHex[(unit >> 4) & 0xF],
                       kHex[unit & 0xF]};
  out.append(buf, 6);
}

// The code point at s[i] and its length; U+FFFD for one byte when the sequence is not valid
// (encode never produces one, but this must not trust its input).
size_t next_code_point(const unsigned char* s, size_t n, size_t i, uint32_t& cp) {
  const unsigned char c = s[i];
  size_t len = 0;
  uint32_t min = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2, cp = c & 0x1F, min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3, cp = c & 0x0F, min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4, cp = c & 0x07, min = 0x10000;
  }
  if (len == 0 || i + len > n) {
    cp = 0xFFFD;
    return 1;
  }
  uint32_t v = cp;
  for (size_t k = 1; k < len; ++k) {
    if ((s[i + k] & 0xC0) != 0x80) {
      cp = 0xFFFD;
      return 1;
    }
    v = (v << 6) | (s[i + k] & 0x3F);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) {
    cp = 0xFFFD;
    return 1;
  }
  cp = v;
  return len;
}

size_t first_non_ascii(const std::string& text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  // Eight bytes at a time: any high bit set means a non-ASCII byte in the word.
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, s + i, 8);
    if (word & 0x8080808080808080ULL) break;
  }
  for (; i < n; ++i) {
    if (s[i] & 0x80) return i;
  }
  return n;
}

}  // namespace

std::string encode(const json& value) { return encode_json(value); }

std::string encode_ascii(const json& value) {
  return encode_json(value, EncodeOptions{.ascii_only = true});
}

std::string ascii_only(std::string text) {
  size_t i = first_non_ascii(text);
  const size_t n = text.size();
  if (i == n) return text;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  std::string out;
  out.reserve(n + n / 4);
  out.append(text.data(), i);
  while (i < n) {
    if (s[i] < 0x80) {
      size_t run = i;
      while (i < n && s[i] < 0x80) ++i;
      out.append(text.data() + run, i - run);
      continue;
    }
    uint32_t cp = 0;
    i += next_code_point(s, n, i, cp);
    if (cp >= 0x10000) {
      const uint32_t v = cp - 0x10000;
      append_u_escape(out, 0xD800 + (v >> 10));
      append_u_escape(out, 0xDC00 + (v & 0x3FF));
    } else {
      append_u_escape(out, cp);
    }
  }
  return out;
}

}  // namespace vessa::JS
