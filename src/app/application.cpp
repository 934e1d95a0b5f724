// The windowed application: a non-unique GtkApplication driving the delegate.
#include "app/application.hpp"

#include <fcntl.h>
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <memory>

#include "app/app_delegate.hpp"
#include "commands/agents/agent_leftovers.hpp"
#include "platform/dmabuf_workaround.hpp"
#include "support/lifecycle.hpp"
#include "support/log.hpp"

namespace vessa::app {
namespace {

// The process-wide application and delegate: the delegate lives for the whole run.
GtkApplication* g_app = nullptr;
std::shared_ptr<AppDelegate>* g_delegate = nullptr;

// The session ending (SIGTERM, SIGHUP when the terminal closes), Ctrl-C and Ctrl-\ all quit
// through the normal path, so the executor, the agents and the staged update are not skipped.
constexpr int kQuitSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};
// The handler only writes the signal to this pipe, which the main loop watches: GLib's own
// signal sources do not take SIGQUIT.
int g_signal_pipe[2] = {-1, -1};

void on_quit_signal(int signo) {
  const int saved = errno;
  const auto byte = static_cast<unsigned char>(signo);
  [[maybe_unused]] ssize_t written = ::write(g_signal_pipe[1], &byte, 1);
  errno = saved;
}

gboolean on_signal_pipe(gint fd, GIOCondition /*condition*/, gpointer /*data*/) noexcept {
  unsigned char signals[16];
  while (::read(fd, signals, sizeof signals) > 0) {
  }
  if (g_delegate) (*g_delegate)->quit();
  return G_SOURCE_CONTINUE;
}

void install_quit_signals() {
  if (::pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    vessa::log("quit signals not handled: no pipe");
    return;
  }
  g_unix_fd_add(g_signal_pipe[0], G_IO_IN, on_signal_pipe, nullptr);
  struct sigaction action {};
  action.sa_handler = on_quit_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signo : kQuitSignals) ::sigaction(signo, &action, nullptr);
}

void on_activate(GApplication* /*app*/, gpointer /*data*/) noexcept {
  if (g_delegate) (*g_delegate)->did_finish_launching();
}

void on_shutdown(GApplication* /*app*/, gpointer /*data*/) noexcept {
  if (g_delegate) (*g_delegate)->will_terminate();
}

}  // namespace

int run_application(int argc, char** argv) {
  platform::apply_dmabuf_workaround();
  // Agents a crashed or killed run left behind end before this run starts anything.
  agents::end_leftover_groups();
  g_app = gtk_application_new("app.vessa.desktop", G_APPLICATION_NON_UNIQUE);
  WebViewHost::Options options;
  options.argv0 = argc > 0 && argv[0] ? argv[0] : "";
  g_delegate = new std::shared_ptr<AppDelegate>(AppDelegate::create(g_app, options));
  g_signal_connect(g_app, "activate", G_CALLBACK(on_activate), nullptr);
  g_signal_connect(g_app, "shutdown", G_CALLBACK(on_shutdown), nullptr);
  install_quit_signals();
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
