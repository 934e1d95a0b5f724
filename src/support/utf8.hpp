// UTF-8 checks and lossy decoding for text read from files and child processes, and ASCII case.
#pragma once

#include <string>
#include <string_view>

namespace vessa {

/// True when `bytes` is well-formed UTF-8 (no overlongs, surrogates or code points past U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

/// `bytes` as valid UTF-8: each maximal ill-formed subsequence becomes one U+FFFD (the Unicode
/// "best practice" that most decoders follow), everything else is kept as is.
std::string utf8_lossy(std::string_view bytes);

/// `text` with A–Z in lower case and every other byte as it is, whatever the locale.
std::string ascii_lower(std::string_view text);

}  // namespace vessa
