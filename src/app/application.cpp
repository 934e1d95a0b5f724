// The windowed application: a non-unique GtkApplication driving the delegate.
#include "app/application.hpp"

#include <glib-unix.h>
#include <gtk/gtk.h>

#include <csignal>
#include <memory>

#include "app/app_delegate.hpp"
#include "platform/dmabuf_workaround.hpp"
#include "support/lifecycle.hpp"

namespace vessa::app {
namespace {

// The process-wide application and delegate: the delegate lives for the whole run.
GtkApplication* g_app = nullptr;
std::shared_ptr<AppDelegate>* g_delegate = nullptr;

void on_activate(GApplication* /*app*/, gpointer /*data*/) noexcept {
  if (g_delegate) (*g_delegate)->did_finish_launching();
}

void on_shutdown(GApplication* /*app*/, gpointer /*data*/) noexcept {
  if (g_delegate) (*g_delegate)->will_terminate();
}

// A session ending (SIGTERM) or Ctrl-C quits through the normal path, so the executor and the
// other will-terminate work are not skipped.
gboolean on_quit_signal(gpointer /*data*/) noexcept {
  if (g_app) g_application_quit(G_APPLICATION(g_app));
  return G_SOURCE_CONTINUE;
}

}  // namespace

int run_application(int argc, char** argv) {
  platform::apply_dmabuf_workaround();
  g_app = gtk_application_new("app.vessa.desktop", G_APPLICATION_NON_UNIQUE);
  WebViewHost::Options options;
  options.argv0 = argc > 0 && argv[0] ? argv[0] : "";
  g_delegate = new std::shared_ptr<AppDelegate>(AppDelegate::create(g_app, options));
  g_signal_connect(g_app, "activate", G_CALLBACK(on_activate), nullptr);
  g_signal_connect(g_app, "shutdown", G_CALLBACK(on_shutdown), nullptr);
  g_unix_signal_add(SIGTERM, on_quit_signal, nullptr);
  g_unix_signal_add(SIGINT, on_quit_signal, nullptr);
  // Our own options were handled by main(); GApplication sees only the program name.
  char* app_argv[] = {argc > 0 ? argv[0] : nullptr, nullptr};
  int status = g_application_run(G_APPLICATION(g_app), argc > 0 ? 1 : 0, app_argv);
  delete g_delegate;
  g_delegate = nullptr;
  g_object_unref(g_app);
  g_app = nullptr;
  return lifecycle::requested_exit_status().value_or(status);
}

}  // namespace vessa::app
