// The smallest GTK + WebKit program that can answer a page: one window, one web view, one
// message handler "raw". It is the floor the shell's bridge is measured against, and the bare
// program its cold start and memory are compared with. Only GTK and WebKit, nothing of Vessa
// (and libcurl, loaded at run time, with --http).
//
//   bare_webkit URI [WIDTHxHEIGHT] [--chrome] [--http]
//     (window size, 800x600 unless given; --chrome adds what the shell's window has around its
//     view: a header bar with the title and a main-menu button; --http loads the shell's HTTP
//     client, libcurl, at start and makes one request with it once the page has loaded, as the
//     shell's first launch step does)
//
// Messages from the page to handler "raw":
//   a number N          -> evaluates "__RAW_RESOLVE(N)" in the page (one transport round trip)
//   {"events": N}       -> evaluates "__RAW_EVT(i)" N times, one evaluation each
//   {"arg": "..."}      -> evaluates "__RAW_RESOLVE(-1)" once the text has been taken out
//   "K…K{…"reqId":N…}"  -> (32 characters of key, then a request's JSON text) evaluates
//                          "__RAW_RESOLVE(N)": the round trip of a request carried as text
//   "stamps"            -> prints {"intervals":[...]}: microseconds between requests
//   any string          -> printed on its own line to stdout ("quit" ends the program)
#include <curl/curl.h>
#include <dlfcn.h>
#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "raw_answer.hpp"

namespace {

GMainLoop* loop = nullptr;
std::vector<gint64> stamps;  // arrival of each request, microseconds

void on_message(WebKitUserContentManager*, JSCValue* value, gpointer data) noexcept {
  auto* view = static_cast<WebKitWebView*>(data);
  if (const long id = raw::call_id(value); id >= 0) {
    stamps.push_back(g_get_monotonic_time());
    raw::resolve(view, id);
    return;
  }
  if (jsc_value_is_string(value)) {
    char* text = jsc_value_to_string(value);
    if (std::strcmp(text, "quit") == 0) {
      g_main_loop_quit(loop);
    } else if (std::strcmp(text, "stamps") == 0) {
      // Time between arrivals: one full round trip each when the page calls in sequence.
      std::string out = "{\"intervals\":[";
      for (size_t i = 1; i < stamps.size(); ++i) {
        if (i > 1) out += ",";
        out += std::to_string(stamps[i] - stamps[i - 1]);
      }
      std::printf("%s]}\n", out.c_str());
      std::fflush(stdout);
      stamps.clear();
    } else {
      std::printf("%s\n", text);
      std::fflush(stdout);
    }
    g_free(text);
    return;
  }
  if (jsc_value_is_object(value)) {
    if (jsc_value_object_has_property(value, "events")) {
      JSCValue* n = jsc_value_object_get_property(value, "events");
      int count = jsc_value_to_int32(n);
      g_object_unref(n);
      for (int i = 0; i < count; ++i) raw::evaluate(view, "__RAW_EVT(" + std::to_string(i) + ")");
    } else if (jsc_value_object_has_property(value, "arg")) {
      JSCValue* arg = jsc_value_object_get_property(value, "arg");
      char* text = jsc_value_to_string(arg);
      g_free(text);
      g_object_unref(arg);
      raw::resolve(view, -1);
    }
  }
}

// libcurl through dlopen, so that the plain runs load nothing of it. Loaded before gtk_init, as
// the shell's libraries are; the request is one the shell's launch makes: libcurl's global set-up
// (TLS included), then a GET to a local port, on a thread of its own.
void* curl = nullptr;

void load_http_client() {
  curl = dlopen("libcurl.so.4", RTLD_NOW | RTLD_GLOBAL);
  if (curl == nullptr) std::fprintf(stderr, "bare_webkit: %s\n", dlerror());
}

void make_one_request() {
  // The header gives the names and types; nothing of libcurl is linked.
  auto global_init = reinterpret_cast<decltype(&curl_global_init)>(dlsym(curl, "curl_global_init"));
  auto easy_init = reinterpret_cast<decltype(&curl_easy_init)>(dlsym(curl, "curl_easy_init"));
  auto easy_setopt = reinterpret_cast<decltype(&curl_easy_setopt)>(dlsym(curl, "curl_easy_setopt"));
  auto easy_perform =
      reinterpret_cast<decltype(&curl_easy_perform)>(dlsym(curl, "curl_easy_perform"));
  auto easy_cleanup =
      reinterpret_cast<decltype(&curl_easy_cleanup)>(dlsym(curl, "curl_easy_cleanup"));
  if (!global_init || !easy_init || !easy_setopt || !easy_perform || !easy_cleanup) return;
  global_init(CURL_GLOBAL_DEFAULT);
  CURL* easy = easy_init();
  if (easy == nullptr) return;
  easy_setopt(easy, CURLOPT_URL, "http://127.0.0.1:9/health");
  easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  easy_setopt(easy, CURLOPT_TIMEOUT_MS, 1500L);
  easy_perform(easy);
  easy_cleanup(easy);
}

void on_load_changed(WebKitWebView*, WebKitLoadEvent event, gpointer) noexcept {
  static bool requested = false;
  if (event != WEBKIT_LOAD_FINISHED || requested || curl == nullptr) return;
  requested = true;
  std::thread(make_one_request).detach();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bare_webkit URI [WIDTHxHEIGHT] [--chrome] [--http]\n");
    return 2;
  }
  bool chrome = false, http = false;
  for (int i = 3; i < argc; ++i) {
    chrome = chrome || std::strcmp(argv[i], "--chrome") == 0;
    http = http || std::strcmp(argv[i], "--http") == 0;
  }
  if (http) load_http_client();
  gtk_init();
  loop = g_main_loop_new(nullptr, FALSE);
  WebKitUserContentManager* ucm = webkit_user_content_manager_new();
  webkit_user_content_manager_register_script_message_handler(ucm, "raw", nullptr);
  auto* view =
      WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", ucm, nullptr));
  g_signal_connect(ucm, "script-message-received::raw", G_CALLBACK(on_message), view);
  GtkWindow* window = GTK_WINDOW(gtk_window_new());
  int width = 800, height = 600;
  if (argc > 2) std::sscanf(argv[2], "%dx%d", &width, &height);
  gtk_window_set_default_size(window, width, height);
  gtk_window_set_child(window, GTK_WIDGET(view));
  if (chrome) {
    // The shell's window chrome, for a start-up floor that draws the same widgets.
    gtk_window_set_title(window, "Vessa");
    GtkWidget* header = gtk_header_bar_new();
    GtkWidget* button = gtk_menu_button_new();
    gtk_menu_button_set_icon_name(GTK_MENU_BUTTON(button), "open-menu-symbolic");
    gtk_widget_set_tooltip_text(button, "Main Menu");
    gtk_header_bar_pack_end(GTK_HEADER_BAR(header), button);
    gtk_window_set_titlebar(window, header);
  }
  g_signal_connect_swapped(window, "close-request", G_CALLBACK(g_main_loop_quit), loop);
  g_signal_connect(view, "load-changed", G_CALLBACK(on_load_changed), nullptr);
  gtk_window_present(window);
  webkit_web_view_load_uri(view, argv[1]);
  g_main_loop_run(loop);
  return 0;
}
