// How the bare handler "raw" reads a page's call and answers it: shared by bare_webkit and the
// handler the benchmark registers beside the shell's in its own view. GTK and WebKit only.
#pragma once

#include <webkit/webkit.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace raw {

// A request as text starts with this many characters of key, as the shell's page messages do.
constexpr size_t kKeyLength = 32;

// The request id in `text` (the key, then a request's JSON text); -1 when it is no request.
inline long request_id(const char* text) {
  const char* req = std::strlen(text) > kKeyLength && text[kKeyLength] == '{'
                        ? std::strstr(text + kKeyLength, "\"reqId\":")
                        : nullptr;
  return req != nullptr ? std::strtol(req + 8, nullptr, 10) : -1;
}

// The id of a page call posted to the handler: a number, or a request as text; -1 otherwise.
inline long call_id(JSCValue* value) {
  if (jsc_value_is_number(value)) return jsc_value_to_int32(value);
  if (!jsc_value_is_string(value)) return -1;
  char* text = jsc_value_to_string(value);
  const long id = request_id(text);
  g_free(text);
  return id;
}

inline void evaluate(WebKitWebView* view, const std::string& script) {
  webkit_web_view_evaluate_javascript(view, script.data(), static_cast<gssize>(script.size()),
                                      nullptr, nullptr, nullptr, nullptr, nullptr);
}

// Settles the page's call `id` (one transport round trip).
inline void resolve(WebKitWebView* view, long id) {
  evaluate(view, "__RAW_RESOLVE(" + std::to_string(id) + ")");
}

}  // namespace raw
