// Which addresses the preview window may show: loopback HTTP(S) only.
#include "platform/preview_rules.hpp"

#include <glib.h>

#include <algorithm>
#include <string>

#include "support/glib_ptr.hpp"
#include "support/utf8.hpp"

namespace vessa::platform {
namespace {

bool has_ambiguous_characters(std::string_view url) {
  return std::ranges::any_of(url,
                             [](unsigned char c) { return c == '\\' || c <= 0x20 || c == 0x7f; });
}

}  // namespace

bool parses_as_url(std::string_view url) {
  std::string text(url);
  return !text.empty() && g_uri_is_valid(text.c_str(), G_URI_FLAGS_NONE, nullptr);
}

bool isAllowedPreviewURL(std::string_view url) {
  if (url.empty() || has_ambiguous_characters(url)) return false;
  std::string text(url);
  GUriPtr parsed(g_uri_parse(text.c_str(), G_URI_FLAGS_NONE, nullptr));
  if (!parsed) return false;
  const char* scheme_c = g_uri_get_scheme(parsed.get());
  const char* host_c = g_uri_get_host(parsed.get());
  std::string scheme = ascii_lower(scheme_c ? scheme_c : "");
  std::string host = ascii_lower(host_c ? host_c : "");
  if (scheme != "http" && scheme != "https") return false;
  return host == "localhost" || host == "127.0.0.1" || host == "::1" || host == "[::1]";
}

}  // namespace vessa::platform
