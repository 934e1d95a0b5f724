// Which addresses the preview window may show: loopback HTTP(S) pages only.
#include "platform/preview_rules.hpp"

#include <glib.h>

#include <algorithm>
#include <array>
#include <string_view>

namespace vessa::platform {
namespace {

std::string ascii_lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

bool isAllowedPreviewURL(const std::string& url) {
  // Embedded NULs would make GLib see a different (shorter) address than the one we load.
  if (url.find('\0') != std::string::npos) return false;
  GError* error = nullptr;
  // Escapes in the path stay as written; GLib still decodes the host, as the page loader does,
  // so the host compared is the host that would be contacted.
  GUri* uri = g_uri_parse(url.c_str(), G_URI_FLAGS_ENCODED, &error);
  if (uri == nullptr) {
    g_clear_error(&error);
    return false;
  }
  const char* scheme_c = g_uri_get_scheme(uri);
  const char* host_c = g_uri_get_host(uri);
  const std::string scheme = ascii_lower(scheme_c != nullptr ? scheme_c : "");
  const std::string host = ascii_lower(host_c != nullptr ? host_c : "");
  g_uri_unref(uri);
  if (scheme != "http" && scheme != "https") return false;
  constexpr std::array<std::string_view, 4> kLoopback = {"localhost", "127.0.0.1", "::1", "[::1]"};
  return std::find(kLoopback.begin(), kLoopback.end(), host) != kLoopback.end();
}

}  // namespace vessa::platform
