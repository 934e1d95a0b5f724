// The desktop clipboard through GDK.
#include "platform/gtk/clipboard_gtk.hpp"

#include <gtk/gtk.h>

#include <memory>

#include "support/callback_guard.hpp"
#include "support/glib_ptr.hpp"
#include "support/main_thread.hpp"

namespace vessa::platform {
namespace {

GdkClipboard* default_clipboard() {
  GdkDisplay* display = gdk_display_get_default();
  return display != nullptr ? gdk_display_get_clipboard(display) : nullptr;
}

using ReadDone = std::function<void(std::optional<std::string>)>;

void on_text_read(GObject* source, GAsyncResult* result, gpointer data) noexcept {
  std::unique_ptr<ReadDone> done(static_cast<ReadDone*>(data));
  GErrorPtr error;
  GCharPtr text(gdk_clipboard_read_text_finish(GDK_CLIPBOARD(source), result, out(error)));
  guard_callback("clipboard answer failed", [&] {
    std::optional<std::string> answer;
    if (text != nullptr) answer = std::string(text.get());
    (*done)(std::move(answer));
  });
}

}  // namespace

bool GtkClipboard::write_text(const std::string& text) {
  assert_main_thread();
  GdkClipboard* clipboard = default_clipboard();
  if (clipboard == nullptr) return false;
  gdk_clipboard_set_text(clipboard, text.c_str());
  return true;
}

bool GtkClipboard::write_html(const std::string& html, const std::string& alt_text) {
  assert_main_thread();
  GdkClipboard* clipboard = default_clipboard();
  if (clipboard == nullptr) return false;
  // Readers that want HTML get the markup; plain-text readers get the alternative text.
  GBytesPtr bytes(g_bytes_new(html.data(), html.size()));
  GValue plain = G_VALUE_INIT;
  g_value_init(&plain, G_TYPE_STRING);
  g_value_set_string(&plain, alt_text.c_str());
  // The union takes over the references of its parts.
  GdkContentProvider* parts[] = {gdk_content_provider_new_for_bytes("text/html", bytes.get()),
                                 gdk_content_provider_new_for_value(&plain)};
  GObjectPtr<GdkContentProvider> provider(gdk_content_provider_new_union(parts, 2));
  g_value_unset(&plain);
  return gdk_clipboard_set_content(clipboard, provider.get()) != FALSE;
}

bool GtkClipboard::clear() {
  assert_main_thread();
  GdkClipboard* clipboard = default_clipboard();
  if (clipboard == nullptr) return false;
  return gdk_clipboard_set_content(clipboard, nullptr) != FALSE;
}

void GtkClipboard::read_text(std::function<void(std::optional<std::string>)> done) {
  assert_main_thread();
  GdkClipboard* clipboard = default_clipboard();
  if (clipboard == nullptr) {
    done(std::nullopt);
    return;
  }
  gdk_clipboard_read_text_async(clipboard, nullptr, on_text_read, new ReadDone(std::move(done)));
}

}  // namespace vessa::platform
