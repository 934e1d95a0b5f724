// The desktop clipboard through GDK.
#include "platform/gtk/clipboard_gtk.hpp"

#include <gtk/gtk.h>

#include <memory>

namespace vessa::platform {
namespace {

GdkClipboard* default_clipboard() {
  GdkDisplay* display = gdk_display_get_default();
  return display != nullptr ? gdk_display_get_clipboard(display) : nullptr;
}

using ReadDone = std::function<void(std::optional<std::string>)>;

void on_text_read(GObject* source, GAsyncResult* result, gpointer data) noexcept {
  std::unique_ptr<ReadDone> done(static_cast<ReadDone*>(data));
  GError* error = nullptr;
  char* text = gdk_clipboard_read_text_finish(GDK_CLIPBOARD(source), result, &error);
  if (error != nullptr) g_error_free(error);
  std::optional<std::string> out;
  if (text != nullptr) out = std::string(text);
  g_free(text);
  try {
    (*done)(std::move(out));
  } catch (...) {
    // Never unwind through GLib.
  }
}

}  // namespace

bool GtkClipboard::write_text(const std::string& text) {
  GdkClipboard* clipboard = default_clipboard();
  if (clipboard == nullptr) return false;
  gdk_clipboard_set_text(clipboard, text.c_str());
  return true;
}

bool GtkClipboard::write_html(const std::string& html, const std::string& alt_text) {
  GdkClipboard* clipboard = default_clipboard();
  if (clipboard == nullptr) return false;
  // Readers that want HTML get the markup; plain-text readers get the alternative text.
  GBytes* bytes = g_bytes_new(html.data(), html.size());
  GValue plain = G_VALUE_INIT;
  g_value_init(&plain, G_TYPE_STRING);
  g_value_set_string(&plain, alt_text.c_str());
  GdkContentProvider* parts[] = {gdk_content_provider_new_for_bytes("text/html", bytes),
                                 gdk_content_provider_new_for_value(&plain)};
  GdkContentProvider* provider = gdk_content_provider_new_union(parts, 2);
  g_value_unset(&plain);
  g_bytes_unref(bytes);
  const bool ok = gdk_clipboard_set_content(clipboard, provider) != FALSE;
  g_object_unref(provider);
  return ok;
}

bool GtkClipboard::clear() {
  GdkClipboard* clipboard = default_clipboard();
  if (clipboard == nullptr) return false;
  return gdk_clipboard_set_content(clipboard, nullptr) != FALSE;
}

void GtkClipboard::read_text(std::function<void(std::optional<std::string>)> done) {
  GdkClipboard* clipboard = default_clipboard();
  if (clipboard == nullptr) {
    done(std::nullopt);
    return;
  }
  gdk_clipboard_read_text_async(clipboard, nullptr, on_text_read, new ReadDone(std::move(done)));
}

}  // namespace vessa::platform
