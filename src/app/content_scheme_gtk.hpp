// Registers the "vessa" content scheme on a WebKit context.
#pragma once

#include <webkit/webkit.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vessa::app {

/// Takes the bridge's value waiting under a token (see Bridge::take_value).
using ValueSource = std::function<std::optional<std::string>(std::string_view token)>;

/// Serves `root` under "vessa:" in `context` (secure and CORS-enabled, so the page's fetch
/// works), and the bridge's waiting values under Bridge::kValueUrlPrefix. Main thread.
void register_content_scheme(WebKitWebContext* context, const std::filesystem::path& root,
                             ValueSource values);

}  // namespace vessa::app
