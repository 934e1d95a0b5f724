// The main window's content: the web view with the content scheme, the token script, the IPC
// shim and the "vessa" message handler, plus its load, new-window and panel handling.
#pragma once

#include <webkit/webkit.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridge/bridge.hpp"
#include "commands/app_context.hpp"
#include "support/glib_ptr.hpp"

namespace vessa::app {

class WebViewHost : public std::enable_shared_from_this<WebViewHost> {
 public:
  static constexpr const char* kStartPage = "vessa://localhost/index.html";

  struct Options {
    /// The folder to serve; resolveDistRoot when unset.
    std::optional<std::filesystem::path> dist_root;
    /// The first command-line argument, for resolveDistRoot.
    std::string argv0;
    /// The folder holding the web-process extension; the bundle's lib/web-extensions when
    /// unset. Without the extension, large values travel as script text.
    std::optional<std::filesystem::path> web_extensions_dir;
    /// The web inspector; when unset, on in development builds or with VESSA_INSPECTOR=1, and
    /// off with VESSA_INSPECTOR=0.
    /// It makes every script the shell evaluates in the page slower.
    std::optional<bool> inspector;
    /// Called on the main thread at every finished page load, before the after-load steps.
    std::function<void()> on_load_finished;
  };

  /// The extension's file name inside that folder.
  static constexpr const char* kWebExtensionFile = "libvessa-webext.so";

  /// Creates the command registry (with `app`) and the bridge; no web view yet. Main thread.
  static std::shared_ptr<WebViewHost> create(std::weak_ptr<commands::AppContext> app,
                                             Options options);
  ~WebViewHost();
  WebViewHost(const WebViewHost&) = delete;
  WebViewHost& operator=(const WebViewHost&) = delete;

  /// Builds the web view (once) in the fixed set-up order and returns it; the start page loads
  /// when the view is first mapped. Main thread.
  GtkWidget* build();

  /// The web view, or null before build(). Main thread.
  WebKitWebView* web_view() const { return web_view_.get(); }
  const std::shared_ptr<bridge::Bridge>& bridge() const { return bridge_; }
  const std::filesystem::path& dist_root() const { return dist_root_; }

  /// Evaluates `script` in the page, ignoring its outcome; nothing without a web view.
  void evaluate(const std::string& script);

 private:
  WebViewHost(std::weak_ptr<commands::AppContext> app, Options options);

  static void on_map(GtkWidget* widget, gpointer self) noexcept;
  static void on_load_changed(WebKitWebView* view, WebKitLoadEvent event, gpointer self) noexcept;
  static gboolean on_load_failed(WebKitWebView* view, WebKitLoadEvent event, const char* uri,
                                 GError* error, gpointer self) noexcept;
  static GtkWidget* on_create(WebKitWebView* view, WebKitNavigationAction* action,
                              gpointer self) noexcept;
  static gboolean on_script_dialog(WebKitWebView* view, WebKitScriptDialog* dialog,
                                   gpointer self) noexcept;
  static gboolean on_file_chooser(WebKitWebView* view, WebKitFileChooserRequest* request,
                                  gpointer self) noexcept;

  void after_load();
  void run_self_test();

  std::weak_ptr<commands::AppContext> app_;
  Options options_;
  std::filesystem::path dist_root_;
  std::shared_ptr<bridge::Bridge> bridge_;
  GObjectPtr<WebKitWebView> web_view_;
  std::vector<SignalConnection> view_signals_;  // this object's handlers on web_view_
};

}  // namespace vessa::app
