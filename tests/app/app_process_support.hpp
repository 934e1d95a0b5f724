// The real application as a separate process on the test's display, serving a test page from a
// bundle of its own, and the X calls that stand in for the user and the window manager.
#pragma once

#include <dlfcn.h>
#include <gio/gio.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "fixtures/scripts.hpp"
#include "fixtures/temp_home.hpp"
#include "support/fs.hpp"
#include "support/glib_ptr.hpp"
#include "support/subprocess.hpp"

// Last: Xlib defines macros (None, Status, Bool) that clash with the headers above.
#include <X11/Xlib.h>

namespace vessa::testing {

using namespace std::chrono_literals;

// Xlib and XTest are loaded at run time: the test binary does not link them, GTK's X11 backend
// does.
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
  decltype(&XGetWindowAttributes) attributes = nullptr;
  decltype(&XSetInputFocus) focus = nullptr;
  decltype(&XKeysymToKeycode) keycode = nullptr;
  decltype(&XStringToKeysym) keysym = nullptr;
  int (*fake_key)(Display*, unsigned int, int, unsigned long) = nullptr;  // XTestFakeKeyEvent

  /// False without an X display with XTest.
  bool load() {
    if (!std::getenv("DISPLAY")) return false;
    void* h = dlopen("libX11.so.6", RTLD_NOW);
    void* xtest = dlopen("libXtst.so.6", RTLD_NOW);
    if (!h || !xtest) return false;
    auto find = [](void* lib, auto& fn, const char* symbol) {
      fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(lib, symbol));
      return fn != nullptr;
    };
    return find(h, open, "XOpenDisplay") && find(h, close, "XCloseDisplay") &&
           find(h, atom, "XInternAtom") && find(h, tree, "XQueryTree") &&
           find(h, name, "XFetchName") && find(h, send, "XSendEvent") && find(h, flush, "XFlush") &&
           find(h, free, "XFree") && find(h, on_error, "XSetErrorHandler") &&
           find(h, property, "XGetWindowProperty") && find(h, attributes, "XGetWindowAttributes") &&
           find(h, focus, "XSetInputFocus") && find(h, keycode, "XKeysymToKeycode") &&
           find(h, keysym, "XStringToKeysym") && find(xtest, fake_key, "XTestFakeKeyEvent");
  }
};

/// One connection to the test's display for the scope.
class XSession {
 public:
  explicit XSession(Xlib& x) : x_(x) {
    // Windows of other processes come and go on the shared display: ignore their errors
    // instead of letting Xlib end this process.
    x_.on_error([](Display*, XErrorEvent*) { return 0; });
    d_ = x_.open(nullptr);
  }
  ~XSession() {
    if (d_) x_.close(d_);
  }
  XSession(const XSession&) = delete;
  XSession& operator=(const XSession&) = delete;

  /// The first value of a 32-bit property (-1 when missing).
  long property(Window w, const char* name) {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    long value = -1;
    if (x_.property(d_, w, x_.atom(d_, name, False), 0, 1, False, AnyPropertyType, &type, &format,
                    &count, &after, &data) == 0 &&
        data) {
      if (format == 32 && count == 1) value = *reinterpret_cast<long*>(data);
      x_.free(data);
    }
    return value;
  }

  /// The viewable top-level windows of process `pid`: the root's children, or the client
  /// windows a window manager's frames hold.
  std::vector<std::pair<Window, std::string>> windows_of(pid_t pid) {
    std::vector<std::pair<Window, std::string>> found;
    if (d_) collect(DefaultRootWindow(d_), pid, 3, found);
    return found;
  }

  /// The main window ("Vessa") of `pid`, or 0.
  Window main_window(pid_t pid) {
    for (const auto& [w, title] : windows_of(pid))
      if (title == "Vessa") return w;
    return 0;
  }

  /// Sends WM_DELETE_WINDOW, as a window manager does when the user closes the window. False
  /// (and nothing sent) for no window.
  bool close_window(Window w) {
    if (!w) return false;
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = x_.atom(d_, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = static_cast<long>(x_.atom(d_, "WM_DELETE_WINDOW", False));
    ev.xclient.data.l[1] = CurrentTime;
    x_.send(d_, w, False, NoEventMask, &ev);
    x_.flush(d_);
    return true;
  }

  /// Types Ctrl + `key` (an X keysym name such as "z" or "comma") into window `w`. False (and
  /// nothing typed) for no window.
  bool press_ctrl(Window w, const char* key) {
    if (!w) return false;
    x_.focus(d_, w, RevertToParent, CurrentTime);
    unsigned int ctrl = x_.keycode(d_, x_.keysym("Control_L"));
    unsigned int code = x_.keycode(d_, x_.keysym(key));
    x_.fake_key(d_, ctrl, True, 0);
    x_.fake_key(d_, code, True, 0);
    x_.fake_key(d_, code, False, 0);
    x_.fake_key(d_, ctrl, False, 0);
    x_.flush(d_);
    return true;
  }

 private:
  void collect(Window parent, pid_t pid, int depth,
               std::vector<std::pair<Window, std::string>>& found) {
    Window unused = 0;  // the root and parent windows
    Window* list = nullptr;
    unsigned int n = 0;
    if (!x_.tree(d_, parent, &unused, &unused, &list, &n)) return;
    for (Window w : std::vector<Window>(list, list + n)) {
      XWindowAttributes attrs{};
      if (property(w, "_NET_WM_PID") == pid && x_.attributes(d_, w, &attrs) &&
          attrs.map_state == IsViewable) {
        char* title = nullptr;
        found.emplace_back(w, x_.name(d_, w, &title) && title ? title : "");
        if (title) x_.free(title);
      } else if (depth > 1) {
        collect(w, pid, depth - 1, found);
      }
    }
    if (list) x_.free(list);
  }

  Xlib& x_;
  Display* d_ = nullptr;
};

/// Every process below `root`, by the parents /proc gives.
inline std::set<pid_t> descendants_of(pid_t root) {
  std::map<pid_t, pid_t> parent;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string stat = read_file(entry.path() / "stat");
    const auto close_paren = stat.rfind(')');
    pid_t ppid = -1;
    if (close_paren != std::string::npos)
      std::sscanf(stat.c_str() + close_paren + 1, " %*c %d", &ppid);
    if (pid_t pid = std::atoi(entry.path().filename().c_str()); pid > 0) parent[pid] = ppid;
  }
  std::set<pid_t> found{root};
  for (bool grew = true; grew;) {
    grew = false;
    for (const auto& [pid, ppid] : parent)
      grew = (found.count(ppid) && found.insert(pid).second) || grew;
  }
  found.erase(root);
  return found;
}

/// Activates action `name` of the application running as `pid` over the session bus, as a
/// menu item or the desktop would. False when no such application answers.
inline bool activate_app_action(pid_t pid, const char* name) {
  GObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
  auto call = [&](const char* peer, const std::string& path, const char* interface,
                  const char* method, GVariant* args, const char* type) {
    return GVariantPtr(g_dbus_connection_call_sync(bus.get(), peer, path.c_str(), interface, method,
                                                   args, type ? G_VARIANT_TYPE(type) : nullptr,
                                                   G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr));
  };
  auto daemon = [&](const char* method, GVariant* args, const char* type) {
    return call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
                args, type);
  };
  GVariantPtr names = bus ? daemon("ListNames", nullptr, "(as)") : nullptr;
  GVariantIter* iter = nullptr;
  if (names) g_variant_get(names.get(), "(as)", &iter);
  GVariantIterPtr owned_iter(iter);
  const char* peer = nullptr;
  // The application owns its id as a name; its object path is made of that id.
  while (iter && g_variant_iter_next(iter, "&s", &peer)) {
    if (!g_application_id_is_valid(peer)) continue;
    GVariantPtr owner = daemon("GetConnectionUnixProcessID", g_variant_new("(s)", peer), "(u)");
    guint32 owner_pid = 0;
    if (owner) g_variant_get(owner.get(), "(u)", &owner_pid);
    if (owner_pid != static_cast<guint32>(pid)) continue;
    std::string path = std::string("/") + peer;
    for (char& c : path) c = c == '.' ? '/' : c == '-' ? '_' : c;
    if (call(peer, path, "org.gtk.Actions", "Activate",
             g_variant_new("(sava{sv})", name, nullptr, nullptr), nullptr))
      return true;
  }
  return false;
}

/// The application, started from a bundle of its own whose front end is `page_body` (HTML).
/// Unless `with_executor`, the bundle has no executor sidecar, so the app leaves the shared
/// port alone. In the page, `report(text)` writes "command not implemented: page:<text>" to the
/// app's standard error: an unknown command is the one thing the shell logs with its name.
/// `before_start` runs in the app's home (HOME and XDG point there) just before the app starts.
class AppProcess {
 public:
  /// `args` follow the program name; `env` entries are set on top of the test's environment.
  explicit AppProcess(const std::string& page_body, const std::vector<std::string>& args = {},
                      const std::map<std::string, std::string>& env = {},
                      const std::function<void()>& before_start = {}, bool with_executor = false) {
    // Orphaned helpers come to this process, so the test can see them end and reap them.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    namespace stdfs = std::filesystem;
    const stdfs::path bundle = home_.path() + "/Vessa.app";
    const stdfs::path built = VESSA_BUNDLE;
    std::vector<std::string> parts = {"Info.json", "bin/vessa",
                                      "lib/web-extensions/libvessa-webext.so"};
    if (with_executor) parts.emplace_back("Resources/vessa-executor");
    for (const auto& rel : parts) {
      std::error_code ec;
      stdfs::create_directories((bundle / rel).parent_path(), ec);
      stdfs::create_hard_link(built / rel, bundle / rel, ec);
      if (ec) stdfs::copy_file(built / rel, bundle / rel, ec);
    }
    write_file((bundle / "Resources/web/index.html").string(),
               std::string(kPageHead) + page_body + "</body></html>");
    // Agents run through `npx tsx`: a fake npx runs the script with /bin/sh.
    const std::string bin = home_.path() + "/bin";
    write_script(bin + "/npx", "[ \"$1\" = tsx ] || exit 99\nshift\nexec /bin/sh \"$@\"");
    log_ = home_.path() + "/vessa.err";
    proc::Options opts;
    opts.argv = {(bundle / "bin/vessa").string()};
    opts.argv.insert(opts.argv.end(), args.begin(), args.end());
    proc::Environment& vars = opts.env.emplace(proc::current_environment());
    for (const auto& [name, value] : env) vars[name] = value;
    vars["G_DEBUG"] = "fatal-criticals";
    vars["VESSA_RELEASE_HOST"] = "http://127.0.0.1:1";  // refused
    vars["PATH"] = bin + ":" + vars["PATH"];
    vars["SHELL"] = write_fake_login_shell(bin + "/login-sh", bin + ":$PATH");
    opts.out = proc::Stdio::null();
    opts.err = proc::Stdio::append(log_);
    if (before_start) before_start();
    auto started = proc::Process::start(opts);
    if (started) app_ = *started;
  }

  ~AppProcess() {
    if (app_ && app_->running()) app_->terminate(2000ms);
    if (app_) ::kill(-app_->pid(), SIGKILL);
    for (pid_t p : descendants_of(getpid())) ::kill(p, SIGKILL);
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
  }
  AppProcess(const AppProcess&) = delete;
  AppProcess& operator=(const AppProcess&) = delete;

  bool started() const { return app_ != nullptr; }
  pid_t pid() const { return app_->pid(); }
  bool running() const { return app_->running(); }
  std::optional<proc::ExitStatus> wait_for(std::chrono::milliseconds limit) {
    return app_->wait_for(limit);
  }
  const std::string& home() const { return home_.path(); }
  /// The executable this instance runs (inside its own bundle).
  std::string exe() const { return home_.path() + "/Vessa.app/bin/vessa"; }
  std::string log() const { return fs::read_file(log_).value_or(""); }
  size_t count(const std::string& text) const {
    const std::string all = log();
    size_t n = 0;
    for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
    return n;
  }
  /// Waits until the page has reported `what` (or the app ended, or `limit` passed).
  bool wait_report(const std::string& what, std::chrono::milliseconds limit = 90s) {
    return wait_until([&] { return count("page:" + what + "\n") > 0 || !app_->running(); },
                      limit) &&
           count("page:" + what + "\n") > 0;
  }

 private:
  static constexpr const char* kPageHead = R"(<!doctype html><html><head><title>t</title>
<script>
const invoke = (cmd, args) => window.__TAURI_INTERNALS__.invoke(cmd, args || {});
const report = (text) => invoke("page:" + text).catch(() => {});
</script></head><body>)";

  TempHome home_;
  std::string log_;
  std::shared_ptr<proc::Process> app_;
};

}  // namespace vessa::testing
