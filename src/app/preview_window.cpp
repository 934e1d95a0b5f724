// The one reusable window that shows loopback pages, with its own web view and no bridge.
#include "app/preview_window.hpp"

#include "platform/preview_rules.hpp"
#include "support/dispatch.hpp"
#include "support/log.hpp"
#include "support/main_thread.hpp"

namespace vessa::app {

std::shared_ptr<PreviewWindowController> PreviewWindowController::shared() {
  static auto* instance =
      new std::shared_ptr<PreviewWindowController>(new PreviewWindowController());
  return *instance;
}

void PreviewWindowController::open(const std::string& url,
                                   const std::optional<std::string>& title) {
  if (!platform::isAllowedPreviewURL(url)) {
    vessa::log("preview_open rejected non-loopback URL: " + url);
    return;
  }
  std::weak_ptr<PreviewWindowController> weak = weak_from_this();
  dispatch::main_async([weak, url, title] {
    if (auto self = weak.lock()) self->show(url, title);
  });
}

void PreviewWindowController::show(const std::string& url,
                                   const std::optional<std::string>& title) {
  assert_main_thread();
  bool has_title = title && !title->empty();
  if (!window_) {
    build_window(has_title ? *title : "Preview");
  } else if (has_title) {
    gtk_window_set_title(window_.get(), title->c_str());
  }
  current_url_ = url;
  webkit_web_view_load_uri(web_view_, url.c_str());
  gtk_window_present(window_.get());
}

void PreviewWindowController::build_window(const std::string& title) {
  // No user scripts, no message handler, no content scheme: the page cannot reach the bridge.
  GObjectPtr<WebKitSettings> settings(webkit_settings_new());
  webkit_settings_set_enable_developer_extras(settings.get(), TRUE);
  web_view_ =
      WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "settings", settings.get(), nullptr));

  window_.reset(GTK_WINDOW(g_object_ref_sink(gtk_window_new())));
  GtkWindow* window = window_.get();
  gtk_window_set_title(window, title.c_str());
  gtk_window_set_default_size(window, kWidth, kHeight);
  // Closing only hides it, so the next address shows the same window.
  gtk_window_set_hide_on_close(window, TRUE);
  gtk_window_set_child(window, GTK_WIDGET(web_view_));
}

void PreviewWindowController::destroy() {
  assert_main_thread();
  if (!window_) return;
  gtk_window_destroy(window_.get());
  window_.reset();
  web_view_ = nullptr;
}

}  // namespace vessa::app
