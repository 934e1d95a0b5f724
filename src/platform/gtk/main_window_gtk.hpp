// The main window as the command families see it, on a GtkWindow.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <optional>
#include <vector>

#include "platform/services.hpp"

namespace vessa::platform {

/// Wraps the main GtkWindow; every call does nothing once the window is gone. Main thread.
///
/// A window manager applies zoom changes asynchronously. They go to it one at a time; until it
/// reports the state asked for (or `kZoomDeadlineMs` passes, when it ignores the request),
/// `is_maximized` answers with the last state asked for, so that commands run one after the
/// other see their own effect.
class GtkMainWindow : public MainWindow {
 public:
  explicit GtkMainWindow(GtkWindow* window);
  ~GtkMainWindow() override;
  GtkMainWindow(const GtkMainWindow&) = delete;
  GtkMainWindow& operator=(const GtkMainWindow&) = delete;

  bool is_maximized() override;
  void maximize() override;
  void unmaximize() override;
  void minimize() override;
  void close() override;
  void set_title(const std::string& title) override;
  void start_dragging() override;
  bool exists() override { return window_ != nullptr; }
  void when_settled(std::function<void()> then) override;

  static constexpr guint kZoomDeadlineMs = 2000;

 private:
  void request_zoom(bool on);
  void apply_zoom(bool on);
  void send_zoom(bool on);
  // The change on its way was reported (or timed out): send the next one or wake the waiters.
  void zoom_done();
  static void on_maximized_changed(GObject* window, GParamSpec* pspec, gpointer data) noexcept;
  static gboolean on_zoom_deadline(gpointer data) noexcept;

  static void on_window_gone(gpointer data, GObject* where) noexcept;
  static gboolean on_event(GtkEventControllerLegacy* controller, GdkEvent* event,
                           gpointer data) noexcept;

  GtkWindow* window_;
  // The pointer press that a page-started drag continues (the page asks while the button is
  // still down).
  GdkDevice* press_device_ = nullptr;
  guint press_button_ = 0;
  double press_x_ = 0;
  double press_y_ = 0;
  guint32 press_time_ = 0;
  bool pressed_ = false;
  // The zoom state sent to the window manager and not yet reported back, and the one to send
  // after it.
  std::optional<bool> zoom_sent_;
  std::optional<bool> zoom_next_;
  guint zoom_deadline_ = 0;
  std::vector<std::function<void()>> settle_waiters_;
};

}  // namespace vessa::platform
