// The real application: closing its main window (as a window manager does) ends the process and
// leaves nothing running.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "fixtures/temp_home.hpp"
#include "support/fs.hpp"
#include "support/subprocess.hpp"

// Last: Xlib defines macros (None, Status, Bool) that clash with the headers above.
#include <X11/Xlib.h>

namespace vessa::testing {
namespace {

using namespace std::chrono_literals;

// Xlib is loaded at run time: the test binary does not link it, GTK's X11 backend does.
struct Xlib {
  decltype(&XOpenDisplay) open = nullptr;
  decltype(&XCloseDisplay) close = nullptr;
  decltype(&XInternAtom) atom = nullptr;
  decltype(&XQueryTree) tree = nullptr;
  decltype(&XFetchName) name = nullptr;
  decltype(&XSendEvent) send = nullptr;
  decltype(&XFlush) flush = nullptr;
  decltype(&XFree) free = nullptr;
  decltype(&XSetErrorHandler) on_error = nullptr;
  decltype(&XGetWindowProperty) property = nullptr;
  bool load() {
    void* h = dlopen("libX11.so.6", RTLD_NOW);
    if (!h) return false;
    open = reinterpret_cast<decltype(open)>(dlsym(h, "XOpenDisplay"));
    close = reinterpret_cast<decltype(close)>(dlsym(h, "XCloseDisplay"));
    atom = reinterpret_cast<decltype(atom)>(dlsym(h, "XInternAtom"));
    tree = reinterpret_cast<decltype(tree)>(dlsym(h, "XQueryTree"));
    name = reinterpret_cast<decltype(name)>(dlsym(h, "XFetchName"));
    send = reinterpret_cast<decltype(send)>(dlsym(h, "XSendEvent"));
    flush = reinterpret_cast<decltype(flush)>(dlsym(h, "XFlush"));
    free = reinterpret_cast<decltype(free)>(dlsym(h, "XFree"));
    on_error = reinterpret_cast<decltype(on_error)>(dlsym(h, "XSetErrorHandler"));
    property = reinterpret_cast<decltype(property)>(dlsym(h, "XGetWindowProperty"));
    return open && close && atom && tree && name && send && flush && free && on_error && property;
  }
};

// Windows of other test processes come and go on the shared display: ignore their errors
// instead of letting Xlib end this process.
int ignore_x_error(Display* /*d*/, XErrorEvent* /*e*/) { return 0; }

long window_pid(Xlib& x, Display* d, Window w) {
  Atom type = 0;
  int format = 0;
  unsigned long count = 0;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  long pid = -1;
  if (x.property(d, w, x.atom(d, "_NET_WM_PID", False), 0, 1, False, AnyPropertyType, &type,
                 &format, &count, &after, &data) == 0 &&
      data) {
    if (format == 32 && count == 1) pid = *reinterpret_cast<long*>(data);
    x.free(data);
  }
  return pid;
}

// Sends WM_DELETE_WINDOW to the top-level windows of process `pid` titled `title`, as a window
// manager does when the user closes them; returns how many.
int close_windows_titled(Xlib& x, const std::string& title, pid_t pid) {
  x.on_error(ignore_x_error);
  Display* d = x.open(nullptr);
  if (!d) return 0;
  Window root = DefaultRootWindow(d);
  Window root_ret = 0;
  Window parent = 0;
  Window* children = nullptr;
  unsigned int n = 0;
  int sent = 0;
  if (x.tree(d, root, &root_ret, &parent, &children, &n)) {
    Atom protocols = x.atom(d, "WM_PROTOCOLS", False);
    Atom del = x.atom(d, "WM_DELETE_WINDOW", False);
    for (unsigned int i = 0; i < n; ++i) {
      char* name = nullptr;
      if (x.name(d, children[i], &name) && name) {
        if (title == name && window_pid(x, d, children[i]) == pid) {
          XEvent ev{};
          ev.xclient.type = ClientMessage;
          ev.xclient.window = children[i];
          ev.xclient.message_type = protocols;
          ev.xclient.format = 32;
          ev.xclient.data.l[0] = static_cast<long>(del);
          ev.xclient.data.l[1] = CurrentTime;
          x.send(d, children[i], False, NoEventMask, &ev);
          ++sent;
        }
        x.free(name);
      }
    }
    if (children) x.free(children);
  }
  x.flush(d);
  x.close(d);
  return sent;
}

pid_t parent_of(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(in, line);
  auto close_paren = line.rfind(')');
  if (close_paren == std::string::npos) return -1;
  char state = 0;
  int ppid = -1;
  std::sscanf(line.c_str() + close_paren + 1, " %c %d", &state, &ppid);
  return ppid;
}

std::set<pid_t> descendants_of(pid_t root) {
  std::set<pid_t> found{root};
  bool grew = true;
  while (grew) {
    grew = false;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      pid_t pid = std::atoi(entry.path().filename().c_str());
      if (pid <= 0 || found.count(pid)) continue;
      if (found.count(parent_of(pid))) {
        found.insert(pid);
        grew = true;
      }
    }
  }
  found.erase(root);
  return found;
}

bool alive(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return false;
  auto close_paren = line.rfind(')');
  return close_paren != std::string::npos && line.size() > close_paren + 2 &&
         line[close_paren + 2] != 'Z';
}

TEST(AppQuit, ClosingTheMainWindowEndsTheProcessAndItsHelpers) {
  Xlib x;
  if (!std::getenv("DISPLAY") || !x.load())
    GTEST_SKIP() << "needs an X display (run under xvfb-run)";
  // Orphaned helpers come to this process, so the test can see them end and reap them.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  TempHome home;
  std::string log = home.path() + "/vessa.err";
  proc::Options opts;
  opts.argv = {VESSA_EXE};
  opts.err = proc::Stdio::append(log);
  opts.out = proc::Stdio::null();
  auto started = proc::Process::start(opts);
  ASSERT_TRUE(started) << started.error();
  auto app = *started;

  std::set<pid_t> helpers;
  auto cleanup = [&] {
    if (app->running()) app->terminate(2000ms);
    for (pid_t p : descendants_of(getpid())) kill(p, SIGKILL);
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
  };
  bool loaded = false;
  for (int i = 0; i < 180 && !loaded && app->running(); ++i) {
    loaded = fs::read_file(log).value_or("").find("page-loaded probe: ") != std::string::npos;
    if (!loaded) std::this_thread::sleep_for(500ms);
  }
  if (!loaded) {
    cleanup();
    FAIL() << "the start page never loaded:\n" << fs::read_file(log).value_or("");
  }
  helpers = descendants_of(app->pid());
  EXPECT_FALSE(helpers.empty()) << "expected WebKit's helper processes";

  int closed = 0;
  for (int i = 0; i < 20 && closed == 0; ++i) {
    closed = close_windows_titled(x, "Vessa", app->pid());
    if (closed == 0) std::this_thread::sleep_for(250ms);
  }
  ASSERT_GE(closed, 1) << "no window titled Vessa";
  auto status = app->wait_for(30s);
  if (!status) {
    cleanup();
    FAIL() << "closing the window did not end the process";
  }
  EXPECT_TRUE(status->success()) << status->describe();

  auto deadline = std::chrono::steady_clock::now() + 20s;
  std::set<pid_t> left = helpers;
  while (!left.empty() && std::chrono::steady_clock::now() < deadline) {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    for (auto it = left.begin(); it != left.end();)
      it = alive(*it) ? std::next(it) : left.erase(it);
    if (!left.empty()) std::this_thread::sleep_for(200ms);
  }
  EXPECT_TRUE(left.empty()) << left.size() << " helper process(es) still running after quit";
  cleanup();
}

}  // namespace
}  // namespace vessa::testing
