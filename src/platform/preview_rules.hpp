// Which addresses the preview window may show: loopback HTTP(S) pages only.
#pragma once

#include <string>

namespace vessa::platform {

/// True when `url` parses as an absolute URL whose scheme is http or https (any case) and whose
/// host is "localhost", "127.0.0.1", "::1" or "[::1]" (any case). Port and path are free.
bool isAllowedPreviewURL(const std::string& url);

}  // namespace vessa::platform
