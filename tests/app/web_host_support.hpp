// Shared pieces of the window tests: a web view host in a window, script evaluation, the
// test application context, what the page stored, which windows show and a window manager.
// Includes what the tests of commands in a page use.
#pragma once

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/web_view_host.hpp"
#include "commands/app_context.hpp"
#include "commands/command_registry.hpp"
#include "executor/executor_supervisor.hpp"
#include "fixtures/helpers.hpp"
#include "fixtures/loopback.hpp"
#include "fixtures/temp_home.hpp"
#include "support/dispatch.hpp"
#include "support/glib_ptr.hpp"
#include "support/json.hpp"
#include "support/paths.hpp"
#include "support/subprocess.hpp"

namespace vessa::testing {

using namespace std::chrono_literals;

/// The application context of a test: events go to the host's bridge.
class TestApp : public commands::AppContext {
 public:
  void emit(const std::string& event, const json& payload) override {
    if (auto h = host.lock()) h->bridge()->emit(event, payload);
  }
  std::shared_ptr<executor::ExecutorSupervisor> executor() override { return executor_; }
  void quit() override {}
  std::weak_ptr<app::WebViewHost> host;

 private:
  // Every page load ensures an executor. Window tests are not about it: a program that cannot
  // start keeps them from leaving a sidecar behind or touching the shared port 3212.
  std::shared_ptr<executor::ExecutorSupervisor> executor_ =
      executor::ExecutorSupervisor::create(no_sidecar());
  static executor::ExecutorSupervisor::Options no_sidecar() {
    executor::ExecutorSupervisor::Options o;
    o.port = free_loopback_port();
    o.sidecar = "/nonexistent/vessa-executor";
    return o;
  }
};

namespace detail {

struct CallState {
  bool done = false;
  std::string result;
};

inline void on_call_done(GObject* source, GAsyncResult* res, gpointer data) noexcept {
  auto* state = static_cast<CallState*>(data);
  GErrorPtr error;
  GObjectPtr<JSCValue> value(webkit_web_view_call_async_javascript_function_finish(
      WEBKIT_WEB_VIEW(source), res, out(error)));
  GCharPtr text(value ? jsc_value_to_json(value.get(), 0) : nullptr);
  state->result = error ? std::string("ERROR: ") + error->message : text ? text.get() : "undefined";
  state->done = true;
}

}  // namespace detail

/// A front-end folder of its own whose index.html is `index_html`; removed with the object.
class PageFolder : public ScratchDir {
 public:
  explicit PageFolder(const std::string& index_html) : ScratchDir("vessa-page-") {
    write_file(*this / "index.html", index_html);
  }
};

/// A host serving `root` in its own window; the start page loads when shown.
class HostedPage {
 public:
  explicit HostedPage(const std::string& root) {
    gtk_init();
    app_ = std::make_shared<TestApp>();
    app::WebViewHost::Options options;
    options.dist_root = root;
    options.web_extensions_dir = std::filesystem::path(VESSA_BUNDLE) / "lib" / "web-extensions";
    host_ = app::WebViewHost::create(app_, options);
    app_->host = host_;
    window_ = GTK_WINDOW(gtk_window_new());
    gtk_window_set_default_size(window_, 800, 600);
    gtk_window_set_child(window_, host_->build());
    g_signal_connect(host_->web_view(), "load-changed",
                     G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent e, gpointer self) noexcept {
                       if (e == WEBKIT_LOAD_FINISHED) ++static_cast<HostedPage*>(self)->loads_;
                     }),
                     this);
    gtk_window_present(window_);
    // The page may close its window itself.
    g_object_add_weak_pointer(G_OBJECT(window_), reinterpret_cast<gpointer*>(&window_));
  }
  ~HostedPage() {
    g_signal_handlers_disconnect_by_data(host_->web_view(), this);
    if (window_) {
      g_object_remove_weak_pointer(G_OBJECT(window_), reinterpret_cast<gpointer*>(&window_));
      gtk_window_destroy(window_);
    }
    host_.reset();
    run_until([] { return false; }, 50ms);
  }
  HostedPage(const HostedPage&) = delete;
  HostedPage& operator=(const HostedPage&) = delete;

  WebKitWebView* view() const { return host_->web_view(); }
  /// The page's window; null once it was closed.
  GtkWindow* window() const { return window_; }
  app::WebViewHost& host() { return *host_; }
  /// Starts `body` as an async function in the page; the state fills in when it ends.
  detail::CallState* start(const std::string& body) {
    auto* state = new detail::CallState();
    webkit_web_view_call_async_javascript_function(view(), body.c_str(), -1, nullptr, nullptr,
                                                   nullptr, nullptr, detail::on_call_done, state);
    return state;
  }
  /// Runs `body` as an async function in the page and returns the JSON text of its value
  /// ("ERROR: ..." when it threw, nullopt on time-out).
  std::optional<std::string> call(const std::string& body, int timeout_ms = 20000) {
    auto* state = start(body);
    bool ok = run_until([&] { return state->done; }, std::chrono::milliseconds(timeout_ms));
    if (!ok) return std::nullopt;  // the state leaks on purpose: the callback may still come
    std::string result = state->result;
    delete state;
    return result;
  }
  /// Waits until the page has finished loading at least `count` times.
  bool wait_loads(int count, int timeout_ms = 30000) {
    return run_until([&] { return loads_ >= count; }, std::chrono::milliseconds(timeout_ms));
  }

 private:
  std::shared_ptr<TestApp> app_;
  std::shared_ptr<app::WebViewHost> host_;
  GtkWindow* window_ = nullptr;
  int loads_ = 0;
};

/// This process's shown top-level windows (panels included).
inline std::vector<GtkWidget*> shown_windows() {
  std::vector<GtkWidget*> shown;
  GListModel* tops = gtk_window_get_toplevels();
  for (guint i = 0; i < g_list_model_get_n_items(tops); ++i) {
    GObjectPtr<GtkWidget> w(static_cast<GtkWidget*>(g_list_model_get_item(tops, i)));
    if (gtk_widget_get_visible(w.get())) shown.push_back(w.get());
  }
  return shown;
}

/// ~/.vessa/config.json (null when absent), or its key `key` (null when absent).
inline json config_value() {
  return read_json_file(paths::home_dir() + "/.vessa/config.json").value_or(json());
}
inline json config_value(const std::string& key) {
  const json config = config_value();
  return config.is_object() && config.contains(key) ? config[key] : json();
}

/// Waits until the page has stored key `key` in the configuration; its value (null if never).
inline json await_config(const std::string& key, std::chrono::milliseconds limit = 60s) {
  run_until([&] { return !config_value(key).is_null(); }, limit);
  return config_value(key);
}

/// The members `keys` of `object` (null where missing), to compare several at once.
inline json members(const json& object, std::initializer_list<const char*> keys) {
  json out = json::object();
  for (const char* key : keys) out[key] = object.contains(key) ? object[key] : json();
  return out;
}

/// A window manager for window tests: a bare X server has none, and without one nothing
/// maximises, minimises or reports a window state. Starts openbox on the test's display unless
/// another window manager already runs there; stops and reaps it when done.
class WindowManager {
 public:
  WindowManager() {
    const char* path = std::getenv("PATH");
    auto openbox = proc::find_in_path("openbox", path ? path : "");
    if (!openbox) {
      error_ =
          "openbox is not installed: window tests need a window manager (scripts/bootstrap "
          "installs it)";
      return;
    }
    dir_ = make_temp_dir("vessa-wm-");
    std::string ready = dir_ + "/ready";
    std::string log = dir_ + "/openbox.log";
    // openbox runs its start-up command once it manages the screen: that file is the signal.
    GCharPtr quoted(g_shell_quote(ready.c_str()));
    proc::Options options;
    options.argv = {*openbox, "--sm-disable", "--startup", "touch " + std::string(quoted.get())};
    options.out = proc::Stdio::append(log);
    options.err = proc::Stdio::append(log);
    auto started = proc::Process::start(options);
    if (!started) {
      error_ = "openbox did not start: " + started.error();
      return;
    }
    process_ = *started;
    auto deadline = std::chrono::steady_clock::now() + 15s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (std::filesystem::exists(ready)) return;
      if (auto status = process_->try_wait()) {
        process_.reset();
        std::string said = read_file(log);
        // Without --replace openbox leaves a running window manager alone and ends.
        if (said.find("already running") == std::string::npos) {
          error_ = "openbox ended (" + status->describe() + "): " + said;
        }
        return;
      }
      std::this_thread::sleep_for(20ms);
    }
    error_ = "openbox did not take the screen in time: " + read_file(log);
  }

  ~WindowManager() {
    if (process_) process_->terminate(1000ms);
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  WindowManager(const WindowManager&) = delete;
  WindowManager& operator=(const WindowManager&) = delete;

  /// Empty when the display has a window manager (ours or another one).
  const std::string& error() const { return error_; }

 private:
  std::string dir_;
  std::string error_;
  std::shared_ptr<proc::Process> process_;
};

}  // namespace vessa::testing
