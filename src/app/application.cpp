// The windowed application: a GtkApplication driving the delegate, one instance per user's data
// folders. A later launch with the same folders hands its command line to the running instance
// (which comes to the front and takes the launch's links) and ends.
#include "app/application.hpp"

#include <fcntl.h>
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/app_delegate.hpp"
#include "commands/agents/agent_leftovers.hpp"
#include "commands/app_dirs.hpp"
#include "commands/deep_link.hpp"
#include "commands/relaunch.hpp"
#include "platform/dmabuf_workaround.hpp"
#include "support/callback_guard.hpp"
#include "support/glib_ptr.hpp"
#include "support/lifecycle.hpp"
#include "support/log.hpp"

namespace vessa::app {
namespace {

// The process-wide delegate: it lives for the whole run.
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
  if (g_delegate) guard_callback("quit failed", [] { (*g_delegate)->quit(); });
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

// The instance being replaced by a relaunch usually ends within a few seconds (its executor
// stop takes at most two); the bus frees its name a moment after that.
constexpr auto kReplacedInstanceWait = std::chrono::seconds(30);
constexpr auto kNameFreedPoll = std::chrono::milliseconds(100);
constexpr int kNameFreedPolls = 20;

// The first launch builds the window; a later launch brings it to the front.
void on_activate(GApplication* /*app*/, gpointer /*data*/) noexcept {
  if (!g_delegate) return;
  if (GtkWindow* window = (*g_delegate)->window()) {
    gtk_window_present(window);
  } else {
    guard_callback("launch failed", [] { (*g_delegate)->did_finish_launching(); });
  }
}

// This launch's command line, or a later launch's handed over on the bus. Only links of our
// scheme are taken from it; the launch's status is 0 either way.
int on_command_line(GApplication* app, GApplicationCommandLine* command_line,
                    gpointer /*data*/) noexcept {
  guard_callback("command line not read", [command_line] {
    int argc = 0;
    GStrvPtr argv(g_application_command_line_get_arguments(command_line, &argc));
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) arguments.emplace_back(argv.get()[i]);
    auto links = commands::deep_link::links_in(arguments);
    if (g_application_command_line_get_is_remote(command_line) != FALSE) {
      vessa::log("another launch came to this instance with " + std::to_string(links.size()) +
                 " link(s)");
    } else {
      commands::deep_link::set_launch_links(links);
    }
    if (g_delegate) (*g_delegate)->open_links(links);
  });
  g_application_activate(app);
  return 0;
}

void on_shutdown(GApplication* /*app*/, gpointer /*data*/) noexcept {
  if (g_delegate) guard_callback("quit work failed", [] { (*g_delegate)->will_terminate(); });
}

// The application under `id`, registered: the primary instance, or a remote one when an
// instance with the same id runs on the session bus. Without a session bus every launch is
// primary. A bus that refuses the name leaves a run of its own rather than none.
GObjectPtr<GtkApplication> register_application(const std::string& id) {
  constexpr auto kFlags = G_APPLICATION_HANDLES_COMMAND_LINE;
  GObjectPtr<GtkApplication> app(gtk_application_new(id.c_str(), kFlags));
  GErrorPtr error;
  if (g_application_register(G_APPLICATION(app.get()), nullptr, out(error)) != FALSE) return app;
  vessa::log("single instance unavailable (" + std::string(error ? error->message : "?") +
             "): this launch runs on its own");
  app.reset(gtk_application_new(id.c_str(),
                                static_cast<GApplicationFlags>(kFlags | G_APPLICATION_NON_UNIQUE)));
  g_application_register(G_APPLICATION(app.get()), nullptr, nullptr);
  return app;
}

}  // namespace

int run_application(int argc, char** argv) {
  const bool replacing = commands::relaunch::wait_for_replaced_instance(kReplacedInstanceWait);
  platform::apply_dmabuf_workaround();
  const std::string id = commands::app_dirs::instance_id();
  GObjectPtr<GtkApplication> app = register_application(id);
  for (int i = 0; replacing && i < kNameFreedPolls &&
                  g_application_get_is_remote(G_APPLICATION(app.get())) != FALSE;
       ++i) {
    app.reset();
    std::this_thread::sleep_for(kNameFreedPoll);
    app = register_application(id);
  }
  if (g_application_get_is_remote(G_APPLICATION(app.get())) != FALSE) {
    // The running instance reads the command line and answers with this launch's status.
    vessa::log("Vessa already runs for these folders (" + id + "): handing over to it");
    return g_application_run(G_APPLICATION(app.get()), argc, argv);
  }
  // Agents a crashed or killed run left behind end before this run starts anything.
  commands::agents::end_leftover_groups();
  WebViewHost::Options options;
  options.argv0 = argc > 0 && argv[0] ? argv[0] : "";
  g_delegate = new std::shared_ptr<AppDelegate>(AppDelegate::create(app.get(), options));
  // The handlers use the process-wide delegate, which outlives the run.
  connect_for_life(app.get(), "command-line", on_command_line);
  connect_for_life(app.get(), "activate", on_activate);
  connect_for_life(app.get(), "shutdown", on_shutdown);
  install_quit_signals();
  int status = g_application_run(G_APPLICATION(app.get()), argc, argv);
  delete g_delegate;
  g_delegate = nullptr;
  app.reset();
  return lifecycle::requested_exit_status().value_or(status);
}

}  // namespace vessa::app
