// The main window as the command families see it, on a GtkWindow.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/services.hpp"
#include "support/glib_ptr.hpp"

namespace vessa::platform {

/// Wraps the main GtkWindow; every call does nothing once the window is gone. Main thread.
///
/// A window manager applies zoom changes asynchronously. They go to it one at a time; until it
/// reports the state asked for (or `kZoomDeadlineMs` passes, when it ignores the request),
/// `is_maximized` answers with the last state asked for, so that commands run one after the
/// other see their own effect.
///
/// Positions exist on X11 only: a Wayland client is never told where its window is and cannot
/// place it, so there the position getters answer nothing and moves are refused.
class GtkMainWindow : public MainWindow {
 public:
  /// Receives the window's events for the page: "tauri://resize" with the new inner size
  /// ({width, height}, physical pixels), "tauri://focus" and "tauri://blur" with null.
  using EventSink = std::function<void(const std::string& event, const json& payload)>;

  explicit GtkMainWindow(GtkWindow* window, EventSink events = {});
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

  PixelSize inner_size() override;
  PixelSize outer_size() override;
  std::optional<PixelPoint> inner_position() override;
  std::optional<PixelPoint> outer_position() override;
  double scale_factor() override;
  bool is_visible() override;
  bool is_focused() override;
  bool is_fullscreen() override;
  bool is_minimized() override;
  bool is_resizable() override;
  bool is_decorated() override;
  std::string title() override;
  void set_inner_size(PixelSize size) override;
  void set_min_inner_size(std::optional<PixelSize> size) override;
  void set_fullscreen(bool on) override;
  void set_resizable(bool on) override;
  void set_decorated(bool on) override;
  void focus() override;
  void show() override;
  void hide() override;
  bool move_to(PixelPoint where) override;
  void center() override;
  void request_attention(bool on) override;
  void destroy() override;
  void set_close_request_handler(std::function<bool()> hold) override;
  std::optional<PixelSize> normal_size() override;
  void set_normal_size(PixelSize size) override;

  static constexpr guint kZoomDeadlineMs = 2000;

 private:
  // The title bar and borders around the content, in logical pixels; `with_margins` adds the
  // surface's margins outside the window.
  PixelSize decoration(bool with_margins) const;
  // Moves the X11 window (physical root coordinates of the window's top-left corner).
  bool move_x11(PixelPoint where);
  void watch_frames();
  void unwatch_frames();
  static void on_realize(GtkWidget* widget, gpointer data) noexcept;
  static void on_unrealize(GtkWidget* widget, gpointer data) noexcept;
  static void on_map(GtkWidget* widget, gpointer data) noexcept;
  static void on_after_paint(GdkFrameClock* clock, gpointer data) noexcept;
  static void on_active_changed(GObject* window, GParamSpec* pspec, gpointer data) noexcept;
  static gboolean on_close_request(GtkWindow* window, gpointer data) noexcept;

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

  EventSink events_;
  GObjectPtr<GdkFrameClock> frame_clock_;  // watched for size changes while realized
  std::optional<PixelSize> reported_size_;
  std::function<bool()> close_hold_;
  bool closing_for_good_ = false;
  std::optional<PixelPoint> move_on_map_;  // a move asked for before the window was shown
  // Last, so they go first: no handler runs on a half-destroyed object.
  SignalConnection after_paint_;
  std::vector<SignalConnection> window_signals_;  // the window's and its legacy controller's
};

}  // namespace vessa::platform
