// The web-process side of the page bridge's large values. The shell hands a value over as a
// sealed memory file holding its JSON text (NUL-terminated) in a "vessa-value" message; this
// parses it straight into a page value and parks it under its token in
// window.__VESSA_PARKED, where the page script takes it when the batch naming the token
// arrives right after. No script text is parsed and the shell's main thread copies nothing.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <webkit/webkit-web-process-extension.h>

#include <cstring>

namespace {

constexpr const char* kMessage = "vessa-value";
constexpr const char* kParked = "__VESSA_PARKED";

// Parses the memory file into the page's main world; null when anything is off, so the page
// answers with a failure rather than a wrong value.
JSCValue* parse_value(JSCContext* context, int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || st.st_size < 1) return nullptr;
  const auto size = static_cast<size_t>(st.st_size);
  void* data = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (data == MAP_FAILED) return nullptr;
  const char* text = static_cast<const char*>(data);
  JSCValue* value = nullptr;
  if (text[size - 1] == '\0') value = jsc_value_new_from_json(context, text);
  munmap(data, size);
  if (JSCException* exception = jsc_context_get_exception(context)) {
    (void)exception;
    jsc_context_clear_exception(context);
    if (value) g_object_unref(value);
    return nullptr;
  }
  return value;
}

gboolean on_user_message(WebKitWebPage* page, WebKitUserMessage* message, gpointer) {
  if (std::strcmp(webkit_user_message_get_name(message), kMessage) != 0) return FALSE;
  GVariant* params = webkit_user_message_get_parameters(message);
  GUnixFDList* fds = webkit_user_message_get_fd_list(message);
  if (!params || !fds || !g_variant_is_of_type(params, G_VARIANT_TYPE("(sh)"))) return TRUE;
  const char* token = nullptr;
  gint32 handle = -1;
  g_variant_get(params, "(&sh)", &token, &handle);
  int fd = g_unix_fd_list_get(fds, handle, nullptr);
  if (fd < 0) return TRUE;
  // Deprecated for site isolation, which this page (one origin, one process) does not use.
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  WebKitFrame* frame = webkit_web_page_get_main_frame(page);
  G_GNUC_END_IGNORE_DEPRECATIONS
  JSCContext* context = webkit_frame_get_js_context(frame);
  JSCValue* value = parse_value(context, fd);
  close(fd);
  if (value) {
    JSCValue* global = jsc_context_get_global_object(context);
    JSCValue* parked = jsc_value_object_get_property(global, kParked);
    if (!jsc_value_is_object(parked)) {
      g_object_unref(parked);
      parked = jsc_value_new_object(context, nullptr, nullptr);
      jsc_value_object_set_property(global, kParked, parked);
    }
    jsc_value_object_set_property(parked, token, value);
    g_object_unref(parked);
    g_object_unref(global);
    g_object_unref(value);
  }
  g_object_unref(context);
  return TRUE;
}

void on_page_created(WebKitWebProcessExtension*, WebKitWebPage* page, gpointer) {
  g_signal_connect(page, "user-message-received", G_CALLBACK(on_user_message), nullptr);
}

}  // namespace

extern "C" G_MODULE_EXPORT void webkit_web_process_extension_initialize(
    WebKitWebProcessExtension* extension) {
  g_signal_connect(extension, "page-created", G_CALLBACK(on_page_created), nullptr);
}
