// The one reusable window that shows loopback pages, with its own web view and no bridge.
#include "app/preview_window.hpp"

#include "platform/preview_rules.hpp"
#include "support/dispatch.hpp"
#include "support/log.hpp"

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
  bool has_title = title && !title->empty();
  if (!window_) {
    build_window(has_title ? *title : "Preview");
  } else if (has_title) {
    gtk_window_set_title(window_, title->c_str());
  }
  current_url_ = url;
  webkit_web_view_load_uri(web_view_, url.c_str());
  gtk_window_present(window_);
}

void PreviewWindowController::build_window(const std::string& title) {
  // No user scripts, no message handler, no content scheme: the page cannot reach the bridge.
  WebKitSettings* settings = webkit_settings_new();
  webkit_settings_set_enable_developer_extras(settings, TRUE);
  web_view_ = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "settings", settings, nullptr));
  g_object_unref(settings);

  window_ = GTK_WINDOW(gtk_window_new());
  g_object_ref_sink(window_);
  gtk_window_set_title(window_, title.c_str());
  gtk_window_set_default_size(window_, kWidth, kHeight);
  // Closing only hides it, so the next address shows the same window.
  gtk_window_set_hide_on_close(window_, TRUE);
  gtk_window_set_child(window_, GTK_WIDGET(web_view_));
}

void PreviewWindowController::destroy() {
  if (!window_) return;
  gtk_window_destroy(window_);
  g_object_unref(window_);
  window_ = nullptr;
  web_view_ = nullptr;
}

}  // namespace vessa::app
