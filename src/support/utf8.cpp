// UTF-8 checks and lossy decoding.
#include "support/utf8.hpp"

#include <cstdint>

namespace vessa {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed sequence at s[i], or 0; `valid_prefix` receives how many bytes
// form the longest prefix of a well-formed sequence (at least 1), which is what one U+FFFD
// replaces.
size_t sequence_length(const unsigned char* s, size_t n, size_t i, size_t& valid_prefix) {
  const unsigned char c = s[i];
  valid_prefix = 1;
  size_t len = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;  // overlong
    if (c == 0xED) hi = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;  // overlong
    if (c == 0xF4) hi = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  for (size_t k = 1; k < len; ++k) {
    if (i + k >= n) return 0;
    const unsigned char cc = s[i + k];
    const unsigned char first_lo = k == 1 ? lo : 0x80;
    const unsigned char first_hi = k == 1 ? hi : 0xBF;
    if (cc < first_lo || cc > first_hi) return 0;
    valid_prefix = k + 1;
  }
  return len;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  for (size_t i = 0; i < n;) {
    size_t prefix = 0;
    size_t len = sequence_length(s, n, i, prefix);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  std::string out;
  out.reserve(n);
  size_t run = 0;  // start of the pending well-formed run
  for (size_t i = 0; i < n;) {
    size_t prefix = 0;
    size_t len = sequence_length(s, n, i, prefix);
    if (len != 0) {
      i += len;
      continue;
    }
    out.append(bytes.data() + run, i - run);
    out.append(kReplacement);
    i += prefix;
    run = i;
  }
  out.append(bytes.data() + run, n - run);
  return out;
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace vessa
