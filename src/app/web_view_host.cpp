// The main window's content: the web view with the content scheme, the token script, the IPC
// shim and the "vessa" message handler, plus its load, new-window and panel handling.
#include "app/web_view_host.hpp"

#include <gio/gunixfdlist.h>

#include <chrono>
#include <cstdlib>
#include <string_view>

#include "app/content_scheme_gtk.hpp"
#include "bridge/page_scripts.hpp"
#include "bridge/plugin_shim.hpp"
#include "bridge/ui_token.hpp"
#include "commands/command_registry.hpp"
#include "executor/executor_supervisor.hpp"
#include "platform/dist_root.hpp"
#include "platform/gtk/dialogs_gtk.hpp"
#include "platform/services.hpp"
#include "support/callback_guard.hpp"
#include "support/dispatch.hpp"
#include "support/fs.hpp"
#include "support/glib_ptr.hpp"
#include "support/log.hpp"
#include "support/main_thread.hpp"
#include "support/paths.hpp"

namespace vessa::app {

using bridge::Bridge;
using bridge::ScriptEvaluator;
using commands::AppContext;
using commands::CommandRegistry;

namespace {

constexpr auto kSelfTestDelay = std::chrono::milliseconds(2000);

// The bridge's view of the web view. It lives exactly as long as the web view: the bridge holds
// it weakly, so results and events that arrive after the view is gone are dropped.
class WebViewEvaluator : public ScriptEvaluator {
 public:
  WebViewEvaluator(WebKitWebView* view, bool takes_values)
      : view_(view), takes_values_(takes_values) {}
  void evaluate_script(const std::string& script) override {
    assert_main_thread();
    if (!view_) return;
    webkit_web_view_evaluate_javascript(view_, script.data(), static_cast<gssize>(script.size()),
                                        nullptr, nullptr, nullptr, nullptr, nullptr);
  }
  bool takes_values() const override { return takes_values_; }
  // Messages to the page and evaluations share one ordered channel to the web process, so the
  // value is parked before the evaluation that names it runs.
  void hand_value(const std::string& token, int fd) override {
    assert_main_thread();
    send_file("vessa-value", token, fd, nullptr);
  }
  void hand_bytes(const std::string& token, int fd, size_t size) override {
    assert_main_thread();
    send_file("vessa-bytes", token, fd, g_variant_new_uint64(size));
  }
  void detach() { view_ = nullptr; }

 private:
  // Sends message `name` with (token, file[, extra]); the list sends a duplicate of `fd`.
  void send_file(const char* name, const std::string& token, int fd, GVariant* extra) {
    // Ours until the message takes a reference of its own (if it is sent at all).
    GVariantPtr held(extra ? g_variant_ref_sink(extra) : nullptr);
    if (!view_) return;
    GObjectPtr<GUnixFDList> fds(g_unix_fd_list_new());
    const gint handle = g_unix_fd_list_append(fds.get(), fd, nullptr);
    if (handle < 0) return;
    GVariant* params = held ? g_variant_new("(shv)", token.c_str(), handle, held.get())
                            : g_variant_new("(sh)", token.c_str(), handle);
    webkit_web_view_send_message_to_page(
        view_, webkit_user_message_new_with_fd_list(name, params, fds.get()), nullptr, nullptr,
        nullptr);
  }

  WebKitWebView* view_;
  const bool takes_values_;
};

constexpr const char* kEvaluatorKey = "vessa-script-evaluator";

std::shared_ptr<WebViewEvaluator> attach_evaluator(WebKitWebView* view, bool takes_values) {
  auto evaluator = std::make_shared<WebViewEvaluator>(view, takes_values);
  g_object_set_data_full(G_OBJECT(view), kEvaluatorKey,
                         new std::shared_ptr<WebViewEvaluator>(evaluator), [](gpointer p) {
                           auto* holder = static_cast<std::shared_ptr<WebViewEvaluator>*>(p);
                           (*holder)->detach();
                           delete holder;
                         });
  // Released as soon as the widget is destroyed, not only when the last reference goes.
  connect_for_life(
      view, "destroy", +[](GtkWidget* w, gpointer) noexcept {
        g_object_set_data(G_OBJECT(w), kEvaluatorKey, nullptr);
      });
  return evaluator;
}

void on_script_message(WebKitUserContentManager* /*manager*/, JSCValue* value,
                       gpointer data) noexcept {
  auto& bridge = *static_cast<std::shared_ptr<Bridge>*>(data);
  guard_callback("bridge message failed", [&bridge, value] {
    // The app's IPC script posts one string that starts with the page key; anything else came
    // from a document that is not the app's page.
    if (!jsc_value_is_string(value)) {
      bridge->on_foreign_message();
      return;
    }
    GCharPtr text(jsc_value_to_string(value));
    if (!text) return;
    bridge->on_posted_message(text.get());
  });
}

// Large arguments and raw bytes from the app's page, passed on by the web-process extension as
// a memory file (no script text, no UTF-8 conversion here); the bridge checks the page key.
gboolean on_user_message(WebKitWebView* /*view*/, WebKitUserMessage* message,
                         gpointer data) noexcept {
  if (g_strcmp0(webkit_user_message_get_name(message), "vessa-send") != 0) return FALSE;
  auto& bridge = *static_cast<std::shared_ptr<Bridge>*>(data);
  guard_callback("bridge message failed", [&bridge, message] {
    GVariant* params = webkit_user_message_get_parameters(message);
    GUnixFDList* fds = webkit_user_message_get_fd_list(message);
    if (!params || !fds || !g_variant_is_of_type(params, G_VARIANT_TYPE("(sh)"))) {
      bridge->on_foreign_message();
      return;
    }
    const char* text = nullptr;
    gint32 handle = -1;
    g_variant_get(params, "(&sh)", &text, &handle);
    fs::UniqueFd fd(g_unix_fd_list_get(fds, handle, nullptr));
    bridge->on_posted_file(text, fd.get());
  });
  return TRUE;
}

// Only documents of the app's own content scheme, and only their main frame, get the page's
// scripts: a page the view navigated to elsewhere, and every frame, get neither.
void add_app_page_script(WebKitUserContentManager* ucm, const std::string& source) {
  static const char* const kAppPages[] = {"vessa://*/*", nullptr};
  WebKitUserScript* script =
      webkit_user_script_new(source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                             WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, kAppPages, nullptr);
  webkit_user_content_manager_add_script(ucm, script);
  webkit_user_script_unref(script);
}

// The inspector is for developers: dev builds and VESSA_INSPECTOR=1 only. VESSA_INSPECTOR=0 runs
// a dev build as packaged, without it (it slows every script the shell evaluates).
#ifdef VESSA_DEV_BUILD
constexpr bool kDevBuild = true;
#else
constexpr bool kDevBuild = false;
#endif

bool developer_extras_enabled() {
  const char* set = std::getenv("VESSA_INSPECTOR");
  const std::string_view flag = set ? set : "";
  return flag == "1" || flag == "0" ? flag == "1" : kDevBuild;
}

void on_probe_done(GObject* source, GAsyncResult* result, gpointer /*data*/) noexcept {
  guard_callback("page-loaded probe failed", [source, result] {
    GErrorPtr error;
    GObjectPtr<JSCValue> value(
        webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, out(error)));
    if (error) {
      vessa::log(std::string("probe error: ") + error->message);
      return;
    }
    if (value && jsc_value_is_string(value.get())) {
      GCharPtr text(jsc_value_to_string(value.get()));
      vessa::log(std::string("page-loaded probe: ") + (text ? text.get() : ""));
    }
  });
}

void on_self_test_done(GObject* source, GAsyncResult* result, gpointer /*data*/) noexcept {
  guard_callback("SELFTEST failed", [source, result] {
    GErrorPtr error;
    GObjectPtr<JSCValue> value(webkit_web_view_call_async_javascript_function_finish(
        WEBKIT_WEB_VIEW(source), result, out(error)));
    if (error) {
      vessa::log(std::string("SELFTEST error: ") + error->message);
      return;
    }
    std::string description = "nil";
    if (value && !jsc_value_is_undefined(value.get()) && !jsc_value_is_null(value.get())) {
      GCharPtr text(jsc_value_to_string(value.get()));
      description = text ? text.get() : "";
    }
    vessa::log("SELFTEST: " + description);
  });
}

bool open_with_default_handler(const std::string& uri) {
  if (auto opener = platform::services().url_opener) return opener->open_uri(uri);
  GErrorPtr error;
  return g_app_info_launch_default_for_uri(uri.c_str(), nullptr, out(error)) != FALSE;
}

}  // namespace

std::shared_ptr<WebViewHost> WebViewHost::create(std::weak_ptr<AppContext> app, Options options) {
  assert_main_thread();
  return std::shared_ptr<WebViewHost>(new WebViewHost(std::move(app), std::move(options)));
}

WebViewHost::WebViewHost(std::weak_ptr<AppContext> app, Options options)
    : app_(std::move(app)), options_(std::move(options)) {
  auto registry = std::make_shared<CommandRegistry>(app_);
  bridge_ = Bridge::create(std::move(registry));
}

WebViewHost::~WebViewHost() {
  view_signals_.clear();
  web_view_.reset();
}

GtkWidget* WebViewHost::build() {
  assert_main_thread();
  if (web_view_) return GTK_WIDGET(web_view_.get());
  // 1-2. A fresh context with the content scheme serving the front-end folder.
  GObjectPtr<WebKitWebContext> context(webkit_web_context_new());
  dist_root_ =
      options_.dist_root
          ? *options_.dist_root
          : platform::resolveDistRoot(platform::current_dist_root_inputs(options_.argv0.c_str()));
  register_content_scheme(context.get(), dist_root_);
  // The web-process extension that takes large values as bytes, when the bundle has it.
  std::optional<std::filesystem::path> extensions = options_.web_extensions_dir;
  if (!extensions) {
    if (auto bundle = paths::bundle_dir()) extensions = *bundle / "lib" / "web-extensions";
  }
  std::error_code ec;
  const bool with_extension =
      extensions && std::filesystem::is_regular_file(*extensions / kWebExtensionFile, ec);
  if (with_extension) {
    // The web process resolves the folder from elsewhere: it must be absolute.
    const std::string dir = std::filesystem::absolute(*extensions, ec).string();
    webkit_web_context_set_web_process_extensions_directory(context.get(), dir.c_str());
  }

  // 3-4. The token script (when there is a token), then the IPC shim, at document start.
  GObjectPtr<WebKitUserContentManager> ucm(webkit_user_content_manager_new());
  if (auto token_script = bridge::ui_token::injectionScript()) {
    add_app_page_script(ucm.get(), *token_script);
  }
  add_app_page_script(ucm.get(), bridge::page_scripts::ipc_shim_script(bridge_->page_key()));
  add_app_page_script(ucm.get(), bridge::page_scripts::plugin_shim_script());

  // 5. The bridge as the "vessa" message handler; the content manager holds it.
  webkit_user_content_manager_register_script_message_handler(ucm.get(), "vessa", nullptr);
  connect_for_life(ucm.get(), "script-message-received::vessa", on_script_message,
                   std::make_unique<std::shared_ptr<Bridge>>(bridge_));

  // 7. The web inspector.
  GObjectPtr<WebKitSettings> settings(webkit_settings_new());
  webkit_settings_set_enable_developer_extras(
      settings.get(), options_.inspector.value_or(developer_extras_enabled()));

  // 6, 8. The view with this configuration (it takes its own references to them).
  web_view_.reset(WEBKIT_WEB_VIEW(g_object_ref_sink(
      g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context.get(), "user-content-manager",
                   ucm.get(), "settings", settings.get(), nullptr))));
  WebKitWebView* view = web_view_.get();
  gtk_widget_set_hexpand(GTK_WIDGET(view), TRUE);
  gtk_widget_set_vexpand(GTK_WIDGET(view), TRUE);

  // 9. Navigation and user-interface handling.
  view_signals_.push_back(connect(view, "load-changed", on_load_changed, this));
  view_signals_.push_back(connect(view, "load-failed", on_load_failed, this));
  view_signals_.push_back(connect(view, "create", on_create, this));
  view_signals_.push_back(connect(view, "script-dialog", on_script_dialog, this));
  view_signals_.push_back(connect(view, "run-file-chooser", on_file_chooser, this));
  view_signals_.push_back(connect(view, "map", on_map, this));
  // The bridge's handler lives with the view and holds the bridge itself.
  connect_for_life(view, "user-message-received", on_user_message,
                   std::make_unique<std::shared_ptr<Bridge>>(bridge_));

  // 10. The bridge answers this view.
  bridge_->set_web_view(attach_evaluator(view, with_extension));
  return GTK_WIDGET(view);
}

void WebViewHost::evaluate(const std::string& script) {
  assert_main_thread();
  if (!web_view_) return;
  webkit_web_view_evaluate_javascript(web_view_.get(), script.data(),
                                      static_cast<gssize>(script.size()), nullptr, nullptr, nullptr,
                                      nullptr, nullptr);
}

void WebViewHost::on_map(GtkWidget* /*widget*/, gpointer self) noexcept {
  auto* host = static_cast<WebViewHost*>(self);
  if (host->web_view_ && !webkit_web_view_get_uri(host->web_view_.get())) {
    webkit_web_view_load_uri(host->web_view_.get(), kStartPage);
  }
}

void WebViewHost::on_load_changed(WebKitWebView* /*view*/, WebKitLoadEvent event,
                                  gpointer self) noexcept {
  auto* host = static_cast<WebViewHost*>(self);
  if (event == WEBKIT_LOAD_COMMITTED) {
    guard_callback("page commit steps failed", [host] {
      host->bridge_->page_committed();
      // Resources belong to the page that opened them.
      host->bridge_->registry()->on_page_load();
    });
    return;
  }
  if (event != WEBKIT_LOAD_FINISHED) return;
  guard_callback("after-load steps failed", [host] {
    if (host->options_.on_load_finished) host->options_.on_load_finished();
    host->after_load();
  });
}

void WebViewHost::after_load() {
  if (auto app = app_.lock()) {
    if (auto executor = app->executor()) executor->ensureRunning(false);
  }
  std::string_view probe = bridge::page_scripts::kPageLoadedProbe;
  webkit_web_view_evaluate_javascript(web_view_.get(), probe.data(),
                                      static_cast<gssize>(probe.size()), nullptr, nullptr, nullptr,
                                      on_probe_done, nullptr);
  const char* selftest = std::getenv("VESSA_SELFTEST");
  if (selftest && std::string_view(selftest) == "1") {
    std::weak_ptr<WebViewHost> weak = weak_from_this();
    dispatch::main_after(kSelfTestDelay, [weak] {
      if (auto host = weak.lock()) host->run_self_test();
    });
  }
}

void WebViewHost::run_self_test() {
  if (!web_view_) return;
  std::string_view body = bridge::page_scripts::kSelfTestBody;
  webkit_web_view_call_async_javascript_function(web_view_.get(), body.data(),
                                                 static_cast<gssize>(body.size()), nullptr, nullptr,
                                                 nullptr, nullptr, on_self_test_done, nullptr);
}

gboolean WebViewHost::on_load_failed(WebKitWebView* /*view*/, WebKitLoadEvent event,
                                     const char* /*uri*/, GError* error,
                                     gpointer /*self*/) noexcept {
  guard_callback("navigation failure not logged", [event, error] {
    std::string description = error ? error->message : "unknown error";
    // A failure before anything was committed is the provisional one.
    if (event == WEBKIT_LOAD_STARTED || event == WEBKIT_LOAD_REDIRECTED) {
      vessa::log("provisional navigation failed: " + description);
    } else {
      vessa::log("navigation failed: " + description);
    }
  });
  return TRUE;  // no error page: nothing is shown to the user
}

GtkWidget* WebViewHost::on_create(WebKitWebView* /*view*/, WebKitNavigationAction* action,
                                  gpointer /*self*/) noexcept {
  WebKitURIRequest* request = webkit_navigation_action_get_request(action);
  const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
  if (uri && *uri) {
    guard_callback("opening a new window's address failed",
                   [uri] { open_with_default_handler(uri); });
  }
  return nullptr;  // never a second web view
}

gboolean WebViewHost::on_script_dialog(WebKitWebView* view, WebKitScriptDialog* dialog,
                                       gpointer /*self*/) noexcept {
  platform::PanelKind kind = platform::PanelKind::kAlert;
  switch (webkit_script_dialog_get_dialog_type(dialog)) {
    case WEBKIT_SCRIPT_DIALOG_ALERT:
      kind = platform::PanelKind::kAlert;
      break;
    case WEBKIT_SCRIPT_DIALOG_CONFIRM:
    case WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM:
      kind = platform::PanelKind::kConfirm;
      break;
    case WEBKIT_SCRIPT_DIALOG_PROMPT:
      kind = platform::PanelKind::kPrompt;
      break;
  }
  const char* message = webkit_script_dialog_get_message(dialog);
  const char* default_text = kind == platform::PanelKind::kPrompt
                                 ? webkit_script_dialog_prompt_get_default_text(dialog)
                                 : nullptr;
  webkit_script_dialog_ref(dialog);
  const bool shown = guard_callback("script dialog failed", false, [&] {
    platform::show_message_panel(platform::panel_parent(GTK_WIDGET(view)), kind,
                                 message ? message : "", default_text ? default_text : "",
                                 [dialog, kind](bool ok, const std::string& text) {
                                   if (kind == platform::PanelKind::kConfirm) {
                                     webkit_script_dialog_confirm_set_confirmed(dialog, ok);
                                   } else if (kind == platform::PanelKind::kPrompt && ok) {
                                     webkit_script_dialog_prompt_set_text(dialog, text.c_str());
                                   }
                                   webkit_script_dialog_close(dialog);
                                   webkit_script_dialog_unref(dialog);
                                 });
    return true;
  });
  if (!shown) {
    webkit_script_dialog_close(dialog);
    webkit_script_dialog_unref(dialog);
  }
  return TRUE;
}

gboolean WebViewHost::on_file_chooser(WebKitWebView* view, WebKitFileChooserRequest* request,
                                      gpointer /*self*/) noexcept {
  const bool asked = guard_callback("file chooser failed", false, [view, request] {
    // Held until the answer: WebKit drops its own reference when this handler returns.
    std::shared_ptr<WebKitFileChooserRequest> held = g_object_share(request);
    // WebKitGTK does not expose whether the input allows folders; files only.
    platform::choose_paths_async(platform::panel_parent(GTK_WIDGET(view)), false,
                                 webkit_file_chooser_request_get_select_multiple(request),
                                 [held](std::optional<std::vector<std::string>> chosen) {
                                   if (chosen && !chosen->empty()) {
                                     std::vector<const char*> files;
                                     for (const auto& f : *chosen) files.push_back(f.c_str());
                                     files.push_back(nullptr);
                                     webkit_file_chooser_request_select_files(held.get(),
                                                                              files.data());
                                   } else {
                                     webkit_file_chooser_request_cancel(held.get());
                                   }
                                 });
    return true;
  });
  if (!asked) webkit_file_chooser_request_cancel(request);
  return TRUE;
}

}  // namespace vessa::app
