// Registers the "vessa" content scheme on a WebKit context.
#include "app/content_scheme_gtk.hpp"

#include <libsoup/soup.h>

#include <optional>
#include <string>

#include "platform/content_scheme.hpp"
#include "support/callback_guard.hpp"
#include "support/glib_ptr.hpp"
#include "support/main_thread.hpp"

namespace vessa::app {
namespace {

GQuark scheme_error_quark() { return g_quark_from_static_string("VessaScheme"); }

void respond(WebKitURISchemeRequest* request, const std::filesystem::path& root) {
  const char* uri = webkit_uri_scheme_request_get_uri(request);
  platform::SchemeAnswer answer;
  try {
    answer =
        platform::serve_content_request(root, uri ? std::optional<std::string>(uri) : std::nullopt);
  } catch (...) {
    answer.ok = false;
    answer.error = std::string("read failed: ") + (uri ? uri : "");
  }
  if (!answer.ok) {
    GErrorPtr error(g_error_new_literal(scheme_error_quark(), 1, answer.error.c_str()));
    webkit_uri_scheme_request_finish_error(request, error.get());
    return;
  }
  auto* body = new std::string(std::move(answer.body));
  GBytesPtr bytes(g_bytes_new_with_free_func(
      body->data(), body->size(), [](gpointer p) { delete static_cast<std::string*>(p); }, body));
  GObjectPtr<GInputStream> stream(g_memory_input_stream_new_from_bytes(bytes.get()));
  GObjectPtr<WebKitURISchemeResponse> response(webkit_uri_scheme_response_new(
      stream.get(), static_cast<gint64>(g_bytes_get_size(bytes.get()))));
  webkit_uri_scheme_response_set_status(response.get(), 200, nullptr);
  webkit_uri_scheme_response_set_content_type(response.get(), answer.content_type.c_str());
  // WebKitGTK 2.50 hands fetch() a null Content-Type unless it is among the headers too. The
  // response takes the headers over.
  SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
  for (const auto& [name, value] : answer.headers) {
    soup_message_headers_append(headers, name.c_str(), value.c_str());
  }
  webkit_uri_scheme_response_set_http_headers(response.get(), headers);
  webkit_uri_scheme_request_finish_with_response(request, response.get());
}

void serve(WebKitURISchemeRequest* request, gpointer data) noexcept {
  guard_callback("content request failed",
                 [request, data] { respond(request, *static_cast<std::filesystem::path*>(data)); });
}

}  // namespace

void register_content_scheme(WebKitWebContext* context, const std::filesystem::path& root) {
  assert_main_thread();
  webkit_web_context_register_uri_scheme(
      context, "vessa", &serve, new std::filesystem::path(root),
      [](gpointer p) { delete static_cast<std::filesystem::path*>(p); });
  WebKitSecurityManager* security = webkit_web_context_get_security_manager(context);
  webkit_security_manager_register_uri_scheme_as_secure(security, "vessa");
  webkit_security_manager_register_uri_scheme_as_cors_enabled(security, "vessa");
}

}  // namespace vessa::app
