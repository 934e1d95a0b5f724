// Interfaces to the desktop that the command families call, and the process-wide set of them.
// GTK implementations live in platform/gtk/; core ones (GIO, files, processes) here; tests
// install fakes with `set_services`.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/alerts.hpp"
#include "platform/appearance.hpp"
#include "platform/clipboard.hpp"
#include "support/json.hpp"

namespace vessa::platform {

/// A size or a position on the screen, in physical (device) pixels unless a name says otherwise.
struct PixelSize {
  int width = 0;
  int height = 0;
  bool operator==(const PixelSize&) const = default;
};
struct PixelPoint {
  int x = 0;
  int y = 0;
  bool operator==(const PixelPoint&) const = default;
};

/// The application's main window. Main thread only.
///
/// The getters and setters past the first group have neutral defaults (a window that is shown,
/// unfocused, of no size) so that partial windows (tests) need not implement them.
class MainWindow {
 public:
  virtual ~MainWindow() = default;
  virtual bool is_maximized() = 0;
  virtual void maximize() = 0;
  virtual void unmaximize() = 0;
  virtual void minimize() = 0;
  /// Asks to close the window, as the user's close button does: a close-request handler may
  /// hold it; otherwise the window closes (which quits the application).
  virtual void close() = 0;
  virtual void set_title(const std::string& title) = 0;
  /// Starts a window move driven by the current pointer event; nothing when there is none.
  virtual void start_dragging() = 0;
  /// False once the window itself is gone (this object may outlive it).
  virtual bool exists() { return true; }
  /// Runs `then` once the last zoom change asked for has taken effect (a window manager may
  /// apply it later), or at once when none is pending.
  // NOLINTNEXTLINE(performance-unnecessary-value-param): windows keep it until they settle
  virtual void when_settled(std::function<void()> then) { then(); }

  /// The content area below the title bar, and the whole window without its shadow.
  virtual PixelSize inner_size() { return {}; }
  virtual PixelSize outer_size() { return {}; }
  /// Where the content area and the window are on the screen; nullopt where the display
  /// server does not tell a window its place (Wayland).
  virtual std::optional<PixelPoint> inner_position() { return std::nullopt; }
  virtual std::optional<PixelPoint> outer_position() { return std::nullopt; }
  /// Physical pixels per logical pixel.
  virtual double scale_factor() { return 1.0; }
  virtual bool is_visible() { return true; }
  virtual bool is_focused() { return false; }
  virtual bool is_fullscreen() { return false; }
  virtual bool is_minimized() { return false; }
  virtual bool is_resizable() { return true; }
  virtual bool is_decorated() { return true; }
  virtual std::string title() { return {}; }

  /// Gives the content area this size.
  virtual void set_inner_size(PixelSize /*size*/) {}
  /// The smallest content area the user may give the window; nullopt removes the limit.
  virtual void set_min_inner_size(std::optional<PixelSize> /*size*/) {}
  virtual void set_fullscreen(bool /*on*/) {}
  virtual void set_resizable(bool /*on*/) {}
  virtual void set_decorated(bool /*on*/) {}
  /// Brings the window to the front and gives it the keyboard.
  virtual void focus() {}
  virtual void show() {}
  virtual void hide() {}
  /// Moves the window's top-left corner to `where`; false where the display server does not
  /// let a window place itself.
  virtual bool move_to(PixelPoint /*where*/) { return false; }
  /// Puts the window in the middle of its monitor, where it may place itself.
  virtual void center() {}
  /// Marks the window as wanting the user's attention, or clears the mark.
  virtual void request_attention(bool /*on*/) {}

  /// Closes the window without asking the close-request handler.
  virtual void destroy() { close(); }
  /// While set, every request to close the window (the user's, the window manager's, close())
  /// calls `hold` first; when it returns true the window stays open. Empty removes it.
  // NOLINTNEXTLINE(performance-unnecessary-value-param): windows keep the handler
  virtual void set_close_request_handler(std::function<bool()> /*hold*/) {}

  /// The window's size when neither maximized nor fullscreen, in logical pixels, title bar and
  /// frame included: what a later launch should bring back. nullopt when unknown.
  virtual std::optional<PixelSize> normal_size() { return std::nullopt; }
  /// Sets that size; before the window is shown it is the size it opens with.
  virtual void set_normal_size(PixelSize /*size*/) {}
};

/// A file-type filter of a chooser: its name and the file-name extensions it shows ("png", no
/// dot; "*" for every file).
struct FileFilter {
  std::string name;
  std::vector<std::string> extensions;
  bool operator==(const FileFilter&) const = default;
};

/// How a file chooser starts.
struct ChooserOptions {
  /// Folders instead of files (open only).
  bool directories = false;
  /// Several at once (open only).
  bool multiple = false;
  std::optional<std::string> title;
  std::vector<FileFilter> filters;
  /// A folder to start in, or a file: its folder, and for saving its name as the proposal.
  std::optional<std::string> default_path;
  bool operator==(const ChooserOptions&) const = default;
};

enum class MessageKind { kInfo, kWarning, kError };

/// A message panel with a row of buttons.
struct MessageOptions {
  std::string message;
  std::optional<std::string> title;
  MessageKind kind = MessageKind::kInfo;
  /// Button labels, the default (affirmative) one first, the one that dismisses last. Never
  /// empty.
  std::vector<std::string> buttons;
  bool operator==(const MessageOptions&) const = default;
};

/// Modal panels. Main thread only; each call returns when the user has answered.
class Dialogs {
 public:
  virtual ~Dialogs() = default;
  /// Lets the user choose folders or files, one or several. nullopt on cancel.
  virtual std::optional<std::vector<std::string>> choose_paths(const ChooserOptions& options) = 0;
  /// Lets the user name a file to save to. nullopt on cancel.
  virtual std::optional<std::string> choose_save_path(const ChooserOptions& options) = 0;
  /// Shows a message; the index in `options.buttons` of the button clicked, nullopt when the
  /// panel was closed without one.
  virtual std::optional<size_t> show_message(const MessageOptions& options) = 0;
};

/// The desktop notification service.
class Notifications {
 public:
  virtual ~Notifications() = default;
  /// True when a notification service can be reached. May block briefly; any thread.
  virtual bool usable() = 0;
  /// True when notifications are allowed. Any thread.
  virtual bool authorized() = 0;
  /// Asks for permission; true when granted. Any thread.
  virtual bool request_permission() = 0;
  /// Shows a notification; `done` runs once the service has answered (any thread).
  virtual void notify(const std::string& title, const std::optional<std::string>& body, bool sound,
                      std::function<void()> done) = 0;
};

/// Opens URIs with the user's default handlers. Any thread.
class UrlOpener {
 public:
  virtual ~UrlOpener() = default;
  /// Opens `uri` (a web address, a custom scheme or a file:// URI); false when it could not.
  virtual bool open_uri(const std::string& uri) = 0;
};

/// The reusable preview window for loopback pages. Main thread only.
class PreviewWindows {
 public:
  virtual ~PreviewWindows() = default;
  virtual void open(const std::string& url, const std::optional<std::string>& title) = 0;
};

/// The user's terminal emulator. Any thread.
class Terminal {
 public:
  virtual ~Terminal() = default;
  /// Opens a terminal window running `line` in the user's shell. Returns the system's
  /// description of the launch error, or nullopt when the terminal started.
  virtual std::optional<std::string> run_line(const std::string& line) = 0;
};

/// The machine's names. Any thread.
class HostNames {
 public:
  virtual ~HostNames() = default;
  /// The user-facing computer name (PRETTY_HOSTNAME), when set.
  virtual std::optional<std::string> localized_name() = 0;
  /// The network host name.
  virtual std::string network_name() = 0;
};

/// Small persistent preferences (the "user defaults"). Any thread.
class UserDefaults {
 public:
  virtual ~UserDefaults() = default;
  virtual std::optional<json> get(const std::string& key) = 0;
  virtual void set(const std::string& key, const json& value) = 0;
  virtual void remove(const std::string& key) = 0;
};

/// The set in use. Members may be null where the desktop part does not exist (no window yet,
/// headless runs); callers degrade as their commands describe.
struct Services {
  std::shared_ptr<MainWindow> main_window;
  std::shared_ptr<Dialogs> dialogs;
  std::shared_ptr<Notifications> notifications;
  std::shared_ptr<UrlOpener> url_opener;
  std::shared_ptr<PreviewWindows> previews;
  std::shared_ptr<Terminal> terminal;
  std::shared_ptr<HostNames> host_names;
  std::shared_ptr<UserDefaults> user_defaults;
  std::shared_ptr<Alerts> alerts;
  std::shared_ptr<Clipboard> clipboard;
  std::shared_ptr<Appearance> appearance;
};

/// A snapshot of the current services (copied under a lock). Any thread.
Services services();
/// Replaces the whole set. The app installs the GTK members at start-up; tests install fakes.
void set_services(Services services);
/// Changes one member while keeping the others.
void update_services(const std::function<void(Services&)>& change);
/// The core defaults: host names, file-backed user defaults, the terminal launcher, and the
/// GIO-based notifications and URL opener when they exist. No window, dialogs or previews.
Services default_services();

}  // namespace vessa::platform
