// The web-process side of the page bridge's byte channel, both ways.
//
// To the page: the shell hands a large value over as a sealed memory file holding its JSON text
// (NUL-terminated) in a "vessa-value" message, or raw bytes in a "vessa-bytes" message; this
// turns it straight into a page value (parsed, or the bytes' base64 text) and
// parks it under its token in window.__VESSA_PARKED, where the page script takes it when the
// batch naming the token arrives right after. No script text is parsed and the shell's main
// thread copies nothing.
//
// From the page: the main frame of an app document (vessa://) gets window.__VESSA_SEND, which
// the IPC script takes at once. It writes the page's bytes into a sealed memory file and passes
// them to the shell in a "vessa-send" message with the message text, which starts with the page
// key like every message of the app's page.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <webkit/webkit-web-process-extension.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "support/glib_ptr.hpp"

namespace {

using vessa::GBytesPtr;
using vessa::GCharPtr;
using vessa::GObjectPtr;
using vessa::GVariantPtr;

constexpr const char* kParked = "__VESSA_PARKED";
constexpr const char* kSend = "__VESSA_SEND";
constexpr const char* kAppScheme = "vessa://";

// Parses the memory file into the page's main world; null when anything is off, so the page
// answers with a failure rather than a wrong value.
GObjectPtr<JSCValue> parse_value(JSCContext* context, int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || st.st_size < 1) return nullptr;
  const auto size = static_cast<size_t>(st.st_size);
  void* data = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (data == MAP_FAILED) return nullptr;
  const char* text = static_cast<const char*>(data);
  GObjectPtr<JSCValue> value;
  if (text[size - 1] == '\0') value.reset(jsc_value_new_from_json(context, text));
  munmap(data, size);
  if (JSCException* exception = jsc_context_get_exception(context)) {
    (void)exception;
    jsc_context_clear_exception(context);
    return nullptr;
  }
  return value;
}

// Bytes cross this process as base64 text: the engine aborts the process when native code reads
// or wraps ArrayBuffer memory here, and the page's own base64 conversions run at native speed.
// (Not libsodium's codec: it is constant-time and several times slower, and these bytes are no
// secret.)
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

size_t base64_size(size_t n) { return (n + 2) / 3 * 4; }

void encode_base64(const unsigned char* in, size_t n, char* out) {
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
    *out++ = kBase64[v >> 18];
    *out++ = kBase64[(v >> 12) & 63];
    *out++ = kBase64[(v >> 6) & 63];
    *out++ = kBase64[v & 63];
  }
  if (i < n) {
    const uint32_t v = (uint32_t{in[i]} << 16) | (i + 1 < n ? uint32_t{in[i + 1]} << 8 : 0);
    *out++ = kBase64[v >> 18];
    *out++ = kBase64[(v >> 12) & 63];
    *out++ = i + 1 < n ? kBase64[(v >> 6) & 63] : '=';
    *out++ = '=';
  }
}

// Each character's six bits; 0x100 marks a character that is not base64.
constexpr std::array<uint32_t, 256> make_base64_values() {
  std::array<uint32_t, 256> t{};
  for (auto& v : t) v = 0x100;
  for (uint32_t i = 0; i < 64; ++i) t[static_cast<unsigned char>(kBase64[i])] = i;
  return t;
}
constexpr auto kBase64Values = make_base64_values();

// Decodes padded standard base64 (what the page's toBase64 and btoa write) into `out` (room for
// n / 4 * 3 bytes); the count written, or nullopt on anything else.
std::optional<size_t> decode_base64(const unsigned char* in, size_t n, unsigned char* out) {
  if (n % 4 != 0) return std::nullopt;
  if (n == 0) return 0;
  const size_t pad = in[n - 1] != '=' ? 0 : in[n - 2] != '=' ? 1 : 2;
  // Every group but the last without a branch per character; a bad one shows in `bad`.
  const size_t whole = pad == 0 ? n : n - 4;
  uint32_t bad = 0;
  unsigned char* o = out;
  for (size_t i = 0; i < whole; i += 4) {
    const uint32_t a = kBase64Values[in[i]];
    const uint32_t b = kBase64Values[in[i + 1]];
    const uint32_t c = kBase64Values[in[i + 2]];
    const uint32_t d = kBase64Values[in[i + 3]];
    bad |= a | b | c | d;
    const uint32_t v = (a << 18) | (b << 12) | (c << 6) | d;
    o[0] = static_cast<unsigned char>(v >> 16);
    o[1] = static_cast<unsigned char>(v >> 8);
    o[2] = static_cast<unsigned char>(v);
    o += 3;
  }
  if (pad > 0) {
    const unsigned char* last = in + whole;
    const uint32_t a = kBase64Values[last[0]];
    const uint32_t b = kBase64Values[last[1]];
    const uint32_t c = pad == 2 ? 0 : kBase64Values[last[2]];
    bad |= a | b | c;
    const uint32_t v = (a << 18) | (b << 12) | (c << 6);
    *o++ = static_cast<unsigned char>(v >> 16);
    if (pad == 1) *o++ = static_cast<unsigned char>(v >> 8);
  }
  if ((bad & 0x100) != 0) return std::nullopt;
  return static_cast<size_t>(o - out);
}

// The first `length` bytes of the memory file as a page string of their base64 text, which the
// IPC script turns into an ArrayBuffer.
GObjectPtr<JSCValue> bytes_string(JSCContext* context, int fd, guint64 length) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || static_cast<guint64>(st.st_size) != length + 1) return nullptr;
  const auto size = static_cast<size_t>(st.st_size);
  void* data = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
  if (data == MAP_FAILED) return nullptr;
  const size_t text_size = base64_size(length);
  auto* text = static_cast<char*>(g_try_malloc(text_size + 1));
  if (text) encode_base64(static_cast<const unsigned char*>(data), length, text);
  munmap(data, size);
  if (!text) return nullptr;
  // ASCII, so the engine keeps it as 8-bit text; it copies it into its own string.
  GBytesPtr bytes(g_bytes_new_take(text, text_size));
  GObjectPtr<JSCValue> value(jsc_value_new_string_from_bytes(context, bytes.get()));
  return value;
}

void park(JSCContext* context, const char* token, JSCValue* value) {
  GObjectPtr<JSCValue> global(jsc_context_get_global_object(context));
  GObjectPtr<JSCValue> parked(jsc_value_object_get_property(global.get(), kParked));
  if (!jsc_value_is_object(parked.get())) {
    parked.reset(jsc_value_new_object(context, nullptr, nullptr));
    jsc_value_object_set_property(global.get(), kParked, parked.get());
  }
  jsc_value_object_set_property(parked.get(), token, value);
}

GObjectPtr<JSCContext> main_context(WebKitWebPage* page) {
  // Deprecated for site isolation, which this page (one origin, one process) does not use.
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  WebKitFrame* frame = webkit_web_page_get_main_frame(page);
  G_GNUC_END_IGNORE_DEPRECATIONS
  return GObjectPtr<JSCContext>(webkit_frame_get_js_context(frame));
}

gboolean on_user_message(WebKitWebPage* page, WebKitUserMessage* message, gpointer) noexcept {
  const char* name = webkit_user_message_get_name(message);
  const bool bytes = std::strcmp(name, "vessa-bytes") == 0;
  if (!bytes && std::strcmp(name, "vessa-value") != 0) return FALSE;
  GVariant* params = webkit_user_message_get_parameters(message);
  GUnixFDList* fds = webkit_user_message_get_fd_list(message);
  if (!params || !fds || !g_variant_is_of_type(params, G_VARIANT_TYPE(bytes ? "(shv)" : "(sh)"))) {
    return TRUE;
  }
  const char* token = nullptr;
  gint32 handle = -1;
  GVariant* raw_extra = nullptr;
  if (bytes) {
    g_variant_get(params, "(&shv)", &token, &handle, &raw_extra);
  } else {
    g_variant_get(params, "(&sh)", &token, &handle);
  }
  GVariantPtr extra(raw_extra);
  guint64 length = 0;
  const bool length_ok = !bytes || g_variant_is_of_type(extra.get(), G_VARIANT_TYPE_UINT64);
  if (bytes && length_ok) length = g_variant_get_uint64(extra.get());
  extra.reset();
  int fd = g_unix_fd_list_get(fds, handle, nullptr);
  if (fd < 0) return TRUE;
  GObjectPtr<JSCContext> context = main_context(page);
  GObjectPtr<JSCValue> value;
  if (length_ok) {
    value = bytes ? bytes_string(context.get(), fd, length) : parse_value(context.get(), fd);
  }
  close(fd);
  if (value) park(context.get(), token, value.get());
  return TRUE;
}

// Writes [data, data + size) into a memory file sealed against any change; -1 on failure.
int sealed_file(const void* data, size_t size) {
  int fd = memfd_create("vessa-send", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return -1;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t w = write(fd, p, size);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      close(fd);
      return -1;
    }
    p += w;
    size -= static_cast<size_t>(w);
  }
  if (fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool is_app_document(const char* uri) {
  return uri && std::strncmp(uri, kAppScheme, std::strlen(kAppScheme)) == 0;
}

// window.__VESSA_SEND(text, payload, raw): `text` is the message (page key first), `payload` a
// string: the arguments' JSON text, or with `raw` the base64 text of the page's bytes (the
// engine forbids reading ArrayBuffer memory from native code in this process). True once
// handed to the shell.
gboolean send_to_shell(JSCValue* text, JSCValue* payload, gboolean raw, gpointer data) {
  auto* page = static_cast<WebKitWebPage*>(data);
  if (!jsc_value_is_string(text) || !jsc_value_is_string(payload) ||
      !is_app_document(webkit_web_page_get_uri(page))) {
    return FALSE;
  }
  GBytesPtr utf8(jsc_value_to_string_as_bytes(payload));
  gsize size = 0;
  const auto* in = static_cast<const unsigned char*>(g_bytes_get_data(utf8.get(), &size));
  int fd = -1;
  if (raw) {
    std::unique_ptr<unsigned char[]> bytes(new (std::nothrow) unsigned char[(size / 4 * 3) + 1]);
    if (bytes) {
      if (auto n = decode_base64(in, size, bytes.get())) fd = sealed_file(bytes.get(), *n);
    }
  } else {
    fd = sealed_file(in, size);
  }
  utf8.reset();
  if (fd < 0) return FALSE;
  GObjectPtr<GUnixFDList> fds(g_unix_fd_list_new());
  const gint handle = g_unix_fd_list_append(fds.get(), fd, nullptr);  // keeps a duplicate
  close(fd);
  if (handle < 0) return FALSE;
  GCharPtr message_text(jsc_value_to_string(text));
  WebKitUserMessage* message = webkit_user_message_new_with_fd_list(
      "vessa-send", g_variant_new("(sh)", message_text.get(), handle), fds.get());
  message_text.reset();
  fds.reset();
  webkit_web_page_send_message_to_view(page, message, nullptr, nullptr, nullptr);
  return TRUE;
}

// Only the main frame of an app document, in the page's own world, gets the channel; frames,
// other documents and isolated worlds never see it.
void on_window_object_cleared(WebKitScriptWorld* world, WebKitWebPage* page, WebKitFrame* frame,
                              gpointer) noexcept {
  if (world != webkit_script_world_get_default() || !webkit_frame_is_main_frame(frame) ||
      !is_app_document(webkit_frame_get_uri(frame))) {
    return;
  }
  GObjectPtr<JSCContext> context(webkit_frame_get_js_context_for_script_world(frame, world));
  GObjectPtr<JSCValue> send(jsc_value_new_function(context.get(), kSend, G_CALLBACK(send_to_shell),
                                                   page, nullptr, G_TYPE_BOOLEAN, 3, JSC_TYPE_VALUE,
                                                   JSC_TYPE_VALUE, G_TYPE_BOOLEAN));
  GObjectPtr<JSCValue> global(jsc_context_get_global_object(context.get()));
  // Configurable, so the IPC script can take it off the window before page code runs.
  jsc_value_object_define_property_data(global.get(), kSend, JSC_VALUE_PROPERTY_CONFIGURABLE,
                                        send.get());
}

void on_page_created(WebKitWebProcessExtension*, WebKitWebPage* page, gpointer) noexcept {
  vessa::connect_for_life(page, "user-message-received", on_user_message);
}

}  // namespace

extern "C" G_MODULE_EXPORT void webkit_web_process_extension_initialize(
    WebKitWebProcessExtension* extension) {
  vessa::connect_for_life(extension, "page-created", on_page_created);
  vessa::connect_for_life(webkit_script_world_get_default(), "window-object-cleared",
                          on_window_object_cleared);
}
