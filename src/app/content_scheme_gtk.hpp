// Registers the "vessa" content scheme on a WebKit context.
#pragma once

#include <webkit/webkit.h>

#include <filesystem>

namespace vessa::app {

/// Serves `root` under "vessa:" in `context` (secure and CORS-enabled, so the page's fetch
/// works). Main thread.
void register_content_scheme(WebKitWebContext* context, const std::filesystem::path& root);

}  // namespace vessa::app
