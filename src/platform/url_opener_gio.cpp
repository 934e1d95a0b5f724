// Opening URIs with the user's default applications through GIO.
#include "platform/url_opener_gio.hpp"

#include <gio/gio.h>

#include "support/log.hpp"

namespace vessa::platform {

bool GioUrlOpener::open_uri(const std::string& uri) {
  GError* error = nullptr;
  gboolean ok = g_app_info_launch_default_for_uri(uri.c_str(), nullptr, &error);
  if (ok == FALSE) {
    vessa::log("open failed for " + uri + ": " +
               (error != nullptr ? error->message : "unknown error"));
    g_clear_error(&error);
    return false;
  }
  return true;
}

}  // namespace vessa::platform
