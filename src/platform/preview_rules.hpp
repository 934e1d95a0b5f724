// Which addresses the preview window may show: loopback HTTP(S) only.
#pragma once

#include <string_view>

namespace vessa::platform {

/// True when `url` parses, its scheme is http or https and its host is localhost, 127.0.0.1,
/// ::1 or [::1] (compared in lower case; port and path are free). Addresses holding a
/// backslash, whitespace or control characters are refused: browsers read those differently
/// from a strict parser, which would let "http://evil\@localhost" pass the check yet load
/// evil. Any thread.
bool isAllowedPreviewURL(std::string_view url);

/// True when `url` parses as an absolute address (the preview command reports the two refusals
/// with the same message, but the window logs only parse-able ones). Any thread.
bool parses_as_url(std::string_view url);

}  // namespace vessa::platform
