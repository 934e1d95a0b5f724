// The one reusable window that shows loopback pages, with its own web view and no bridge.
#pragma once

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/services.hpp"
#include "support/glib_ptr.hpp"

namespace vessa::app {

class PreviewWindowController : public platform::PreviewWindows,
                                public std::enable_shared_from_this<PreviewWindowController> {
 public:
  static constexpr int kWidth = 1100;
  static constexpr int kHeight = 760;

  /// The process-wide instance, created on first use.
  static std::shared_ptr<PreviewWindowController> shared();

  /// Shows `url` when the loopback rule allows it (else logs and does nothing). Returns at
  /// once; the window work runs on the main queue. Any thread.
  void open(const std::string& url, const std::optional<std::string>& title) override;

  /// Destroys the window at quit. Main thread.
  void destroy();

  GtkWindow* window() const { return window_.get(); }
  WebKitWebView* web_view() const { return web_view_; }
  const std::optional<std::string>& current_url() const { return current_url_; }

 private:
  PreviewWindowController() = default;
  void show(const std::string& url, const std::optional<std::string>& title);
  void build_window(const std::string& title);

  GObjectPtr<GtkWindow> window_;
  WebKitWebView* web_view_ = nullptr;  // the window's child
  std::optional<std::string> current_url_;
};

}  // namespace vessa::app
