// Opening URIs with the user's default applications through GIO.
#include "platform/url_opener_gio.hpp"

#include <gio/gio.h>

#include "support/glib_ptr.hpp"
#include "support/log.hpp"

namespace vessa::platform {

bool GioUrlOpener::open_uri(const std::string& uri) {
  GErrorPtr error;
  gboolean ok = g_app_info_launch_default_for_uri(uri.c_str(), nullptr, out(error));
  if (ok == FALSE) {
    vessa::log("open failed for " + uri + ": " +
               (error != nullptr ? error->message : "unknown error"));
    return false;
  }
  return true;
}

}  // namespace vessa::platform
