// The main window as the command families see it, on a GtkWindow.
#include "platform/gtk/main_window_gtk.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "support/callback_guard.hpp"
#include "support/main_thread.hpp"

// Last: Xlib's macros (None, Status, Bool) would clash with the headers above.
#include <gdk/x11/gdkx.h>

namespace vessa::platform {
namespace {

int to_physical(double logical, double scale) {
  return static_cast<int>(std::lround(logical * scale));
}
int to_logical(int physical, double scale) {
  return static_cast<int>(std::lround(physical / scale));
}

GdkX11Surface* x11_surface(GtkWindow* window) {
  GdkSurface* surface = window ? gtk_native_get_surface(GTK_NATIVE(window)) : nullptr;
  return surface && GDK_IS_X11_SURFACE(surface) ? GDK_X11_SURFACE(surface) : nullptr;
}

}  // namespace

GtkMainWindow::GtkMainWindow(GtkWindow* window, EventSink events)
    : window_(window), events_(std::move(events)) {
  assert_main_thread();
  g_object_weak_ref(G_OBJECT(window_), &GtkMainWindow::on_window_gone, this);
  GtkEventController* legacy = gtk_event_controller_legacy_new();
  gtk_event_controller_set_propagation_phase(legacy, GTK_PHASE_CAPTURE);
  window_signals_.push_back(connect(legacy, "event", &GtkMainWindow::on_event, this));
  gtk_widget_add_controller(GTK_WIDGET(window_), legacy);
  window_signals_.push_back(
      connect(window_, "notify::maximized", &GtkMainWindow::on_maximized_changed, this));
  window_signals_.push_back(
      connect(window_, "notify::is-active", &GtkMainWindow::on_active_changed, this));
  // Before the application's own handler, which quits: a held close must never reach it.
  window_signals_.push_back(
      connect(window_, "close-request", &GtkMainWindow::on_close_request, this));
  window_signals_.push_back(
      connect(window_, "realize", &GtkMainWindow::on_realize, this, G_CONNECT_AFTER));
  window_signals_.push_back(connect(window_, "unrealize", &GtkMainWindow::on_unrealize, this));
  window_signals_.push_back(connect(window_, "map", &GtkMainWindow::on_map, this, G_CONNECT_AFTER));
  if (gtk_widget_get_realized(GTK_WIDGET(window_))) watch_frames();
}

GtkMainWindow::~GtkMainWindow() {
  zoom_next_.reset();
  zoom_done();
  unwatch_frames();
  // The legacy controller lives in the window; its handler goes with the window's.
  window_signals_.clear();
  if (window_) g_object_weak_unref(G_OBJECT(window_), &GtkMainWindow::on_window_gone, this);
}

void GtkMainWindow::on_window_gone(gpointer data, GObject* /*where*/) noexcept {
  auto* self = static_cast<GtkMainWindow*>(data);
  self->window_ = nullptr;
  self->unwatch_frames();
  guard_callback("window state waiters failed", [self] { self->zoom_done(); });
}

gboolean GtkMainWindow::on_event(GtkEventControllerLegacy* /*controller*/, GdkEvent* event,
                                 gpointer data) noexcept {
  auto* self = static_cast<GtkMainWindow*>(data);
  GdkEventType type = gdk_event_get_event_type(event);
  if (type == GDK_BUTTON_PRESS) {
    self->pressed_ = true;
    self->press_device_ = gdk_event_get_device(event);
    self->press_button_ = gdk_button_event_get_button(event);
    gdk_event_get_position(event, &self->press_x_, &self->press_y_);
    self->press_time_ = gdk_event_get_time(event);
  } else if (type == GDK_BUTTON_RELEASE) {
    self->pressed_ = false;
  }
  return FALSE;
}

bool GtkMainWindow::is_maximized() {
  assert_main_thread();
  if (!window_) return false;
  if (zoom_next_) return *zoom_next_;
  if (zoom_sent_) return *zoom_sent_;
  return gtk_window_is_maximized(window_) != FALSE;
}

void GtkMainWindow::maximize() {
  assert_main_thread();
  request_zoom(true);
}

void GtkMainWindow::unmaximize() {
  assert_main_thread();
  request_zoom(false);
}

void GtkMainWindow::request_zoom(bool on) {
  if (!window_) return;
  // A window not shown yet takes the state when it is mapped; nothing to wait for.
  if (!gtk_widget_get_mapped(GTK_WIDGET(window_))) {
    apply_zoom(on);
    return;
  }
  // One change at a time: with several on their way, a state reported by the window manager
  // could belong to any of them. Only the last one asked for matters.
  if (zoom_sent_) {
    zoom_next_ = on;
    return;
  }
  send_zoom(on);
}

void GtkMainWindow::apply_zoom(bool on) {
  if (on) {
    gtk_window_maximize(window_);
  } else {
    gtk_window_unmaximize(window_);
  }
}

void GtkMainWindow::send_zoom(bool on) {
  if ((gtk_window_is_maximized(window_) != FALSE) == on) return;
  apply_zoom(on);
  zoom_sent_ = on;
  zoom_deadline_ = g_timeout_add(kZoomDeadlineMs, &GtkMainWindow::on_zoom_deadline, this);
}

void GtkMainWindow::zoom_done() {
  zoom_sent_.reset();
  if (zoom_deadline_ != 0) {
    g_source_remove(zoom_deadline_);
    zoom_deadline_ = 0;
  }
  if (zoom_next_ && window_) {
    bool next = *zoom_next_;
    zoom_next_.reset();
    send_zoom(next);
    if (zoom_sent_) return;
  }
  zoom_next_.reset();
  auto waiters = std::move(settle_waiters_);
  settle_waiters_.clear();
  for (auto& then : waiters) then();
}

void GtkMainWindow::when_settled(std::function<void()> then) {
  assert_main_thread();
  if (!zoom_sent_ && !zoom_next_) {
    then();
    return;
  }
  settle_waiters_.push_back(std::move(then));
}

void GtkMainWindow::on_maximized_changed(GObject* window, GParamSpec* /*pspec*/,
                                         gpointer data) noexcept {
  auto* self = static_cast<GtkMainWindow*>(data);
  bool zoomed = gtk_window_is_maximized(GTK_WINDOW(window)) != FALSE;
  if (self->zoom_sent_ && *self->zoom_sent_ == zoomed) {
    guard_callback("window state waiters failed", [self] { self->zoom_done(); });
  }
}

gboolean GtkMainWindow::on_zoom_deadline(gpointer data) noexcept {
  auto* self = static_cast<GtkMainWindow*>(data);
  // The window manager ignored the request: go on from the state the window really has.
  self->zoom_deadline_ = 0;
  guard_callback("window state waiters failed", [self] { self->zoom_done(); });
  return G_SOURCE_REMOVE;
}

void GtkMainWindow::minimize() {
  assert_main_thread();
  if (window_) gtk_window_minimize(window_);
}

void GtkMainWindow::close() {
  assert_main_thread();
  if (window_) gtk_window_close(window_);
}

void GtkMainWindow::destroy() {
  assert_main_thread();
  if (!window_) return;
  closing_for_good_ = true;
  gtk_window_close(window_);
  closing_for_good_ = false;
}

void GtkMainWindow::set_close_request_handler(std::function<bool()> hold) {
  assert_main_thread();
  close_hold_ = std::move(hold);
}

gboolean GtkMainWindow::on_close_request(GtkWindow* /*window*/, gpointer data) noexcept {
  auto* self = static_cast<GtkMainWindow*>(data);
  if (self->closing_for_good_ || !self->close_hold_) return FALSE;
  // A faulty handler never keeps the user from closing.
  return guard_callback("close handler failed", FALSE, [self] {
    // A copy: the handler may replace itself.
    auto hold = self->close_hold_;
    return hold() ? TRUE : FALSE;
  });
}

// Sizes change without a signal of their own; every change is drawn, so each drawn frame
// compares the content size with the one last reported.
void GtkMainWindow::watch_frames() {
  GdkSurface* surface = window_ ? gtk_native_get_surface(GTK_NATIVE(window_)) : nullptr;
  GdkFrameClock* clock = surface ? gdk_surface_get_frame_clock(surface) : nullptr;
  if (!clock || clock == frame_clock_.get()) return;
  unwatch_frames();
  frame_clock_ = g_object_ref_ptr(clock);
  // A window already laid out starts from its current size.
  PixelSize now = inner_size();
  if (now.width > 0 && now.height > 0) reported_size_ = now;
  after_paint_ = connect(frame_clock_.get(), "after-paint", &GtkMainWindow::on_after_paint, this);
}

void GtkMainWindow::unwatch_frames() {
  after_paint_.disconnect();
  frame_clock_.reset();
}

void GtkMainWindow::on_realize(GtkWidget* /*widget*/, gpointer data) noexcept {
  static_cast<GtkMainWindow*>(data)->watch_frames();
}

void GtkMainWindow::on_unrealize(GtkWidget* /*widget*/, gpointer data) noexcept {
  static_cast<GtkMainWindow*>(data)->unwatch_frames();
}

void GtkMainWindow::on_map(GtkWidget* /*widget*/, gpointer data) noexcept {
  auto* self = static_cast<GtkMainWindow*>(data);
  if (auto where = std::exchange(self->move_on_map_, std::nullopt)) self->move_x11(*where);
}

void GtkMainWindow::on_after_paint(GdkFrameClock* /*clock*/, gpointer data) noexcept {
  auto* self = static_cast<GtkMainWindow*>(data);
  if (!self->window_) return;
  PixelSize now = self->inner_size();
  if (now.width <= 0 || now.height <= 0 || self->reported_size_ == now) return;
  // The first frame sets where the page starts from; it is not a change.
  bool first = !self->reported_size_;
  self->reported_size_ = now;
  if (!first && self->events_) {
    // A sink that fails loses this event only.
    guard_callback("resize event failed", [self, now] {
      self->events_("tauri://resize", json{{"width", now.width}, {"height", now.height}});
    });
  }
}

void GtkMainWindow::on_active_changed(GObject* window, GParamSpec* /*pspec*/,
                                      gpointer data) noexcept {
  auto* self = static_cast<GtkMainWindow*>(data);
  if (!self->events_) return;
  bool active = gtk_window_is_active(GTK_WINDOW(window)) != FALSE;
  guard_callback("focus event failed", [self, active] {
    self->events_(active ? "tauri://focus" : "tauri://blur", nullptr);
  });
}

double GtkMainWindow::scale_factor() {
  assert_main_thread();
  if (!window_) return 1.0;
  GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window_));
  // GTK 4.8 scales by whole numbers only (fractional scales arrived in 4.12).
  int scale = surface ? gdk_surface_get_scale_factor(surface)
                      : gtk_widget_get_scale_factor(GTK_WIDGET(window_));
  return scale > 0 ? scale : 1.0;
}

PixelSize GtkMainWindow::decoration(bool with_margins) const {
  GtkWidget* child = window_ ? gtk_window_get_child(window_) : nullptr;
  GdkSurface* surface = window_ ? gtk_native_get_surface(GTK_NATIVE(window_)) : nullptr;
  if (!child || !surface || gtk_widget_get_width(child) <= 0) return {};
  // The default size counts the surface, which reaches past the window by its shadow (or the
  // invisible resize border); a size request counts the window itself.
  int width =
      with_margins ? gdk_surface_get_width(surface) : gtk_widget_get_width(GTK_WIDGET(window_));
  int height =
      with_margins ? gdk_surface_get_height(surface) : gtk_widget_get_height(GTK_WIDGET(window_));
  return {width - gtk_widget_get_width(child), height - gtk_widget_get_height(child)};
}

PixelSize GtkMainWindow::inner_size() {
  assert_main_thread();
  if (!window_) return {};
  GtkWidget* child = gtk_window_get_child(window_);
  GtkWidget* content = child ? child : GTK_WIDGET(window_);
  double scale = scale_factor();
  return {to_physical(gtk_widget_get_width(content), scale),
          to_physical(gtk_widget_get_height(content), scale)};
}

PixelSize GtkMainWindow::outer_size() {
  assert_main_thread();
  if (!window_) return {};
  double scale = scale_factor();
  return {to_physical(gtk_widget_get_width(GTK_WIDGET(window_)), scale),
          to_physical(gtk_widget_get_height(GTK_WIDGET(window_)), scale)};
}

std::optional<PixelPoint> GtkMainWindow::outer_position() {
  assert_main_thread();
  GdkX11Surface* surface = x11_surface(window_);
  if (!surface) return std::nullopt;
  Display* display = gdk_x11_display_get_xdisplay(gtk_widget_get_display(GTK_WIDGET(window_)));
  int x = 0;
  int y = 0;
  ::Window child = 0;
  if (XTranslateCoordinates(display, gdk_x11_surface_get_xid(GDK_SURFACE(surface)),
                            DefaultRootWindow(display), 0, 0, &x, &y, &child) == 0) {
    return std::nullopt;
  }
  // The surface reaches past the window by its shadow.
  double shadow_x = 0;
  double shadow_y = 0;
  gtk_native_get_surface_transform(GTK_NATIVE(window_), &shadow_x, &shadow_y);
  double scale = scale_factor();
  return PixelPoint{x + to_physical(shadow_x, scale), y + to_physical(shadow_y, scale)};
}

std::optional<PixelPoint> GtkMainWindow::inner_position() {
  assert_main_thread();
  auto outer = outer_position();
  GtkWidget* child = window_ ? gtk_window_get_child(window_) : nullptr;
  if (!outer || !child) return outer;
  graphene_point_t origin{};  // (0, 0)
  graphene_point_t at = origin;
  if (!gtk_widget_compute_point(child, GTK_WIDGET(window_), &origin, &at)) return outer;
  double scale = scale_factor();
  return PixelPoint{outer->x + to_physical(at.x, scale), outer->y + to_physical(at.y, scale)};
}

bool GtkMainWindow::move_to(PixelPoint where) {
  assert_main_thread();
  if (!window_ || !GDK_IS_X11_DISPLAY(gtk_widget_get_display(GTK_WIDGET(window_)))) return false;
  if (!gtk_widget_get_mapped(GTK_WIDGET(window_))) {
    move_on_map_ = where;
    return true;
  }
  return move_x11(where);
}

bool GtkMainWindow::move_x11(PixelPoint where) {
  GdkX11Surface* surface = x11_surface(window_);
  if (!surface) return false;
  Display* display = gdk_x11_display_get_xdisplay(gtk_widget_get_display(GTK_WIDGET(window_)));
  double shadow_x = 0;
  double shadow_y = 0;
  gtk_native_get_surface_transform(GTK_NATIVE(window_), &shadow_x, &shadow_y);
  double scale = scale_factor();
  XMoveWindow(display, gdk_x11_surface_get_xid(GDK_SURFACE(surface)),
              where.x - to_physical(shadow_x, scale), where.y - to_physical(shadow_y, scale));
  XFlush(display);
  return true;
}

void GtkMainWindow::center() {
  assert_main_thread();
  GdkX11Surface* surface = x11_surface(window_);
  if (!surface) return;
  GdkMonitor* monitor = gdk_display_get_monitor_at_surface(
      gtk_widget_get_display(GTK_WIDGET(window_)), GDK_SURFACE(surface));
  if (!monitor) return;
  GdkRectangle area{};
  gdk_monitor_get_geometry(monitor, &area);
  double scale = gdk_monitor_get_scale_factor(monitor);
  PixelSize outer = outer_size();
  move_x11({to_physical(area.x, scale) + ((to_physical(area.width, scale) - outer.width) / 2),
            to_physical(area.y, scale) + ((to_physical(area.height, scale) - outer.height) / 2)});
}

void GtkMainWindow::request_attention(bool on) {
  assert_main_thread();
  // GTK 4 has no urgency call of its own; on X11 it is the window-manager hint.
  GdkX11Surface* surface = x11_surface(window_);
  if (!surface) return;
  Display* display = gdk_x11_display_get_xdisplay(gtk_widget_get_display(GTK_WIDGET(window_)));
  ::Window xid = gdk_x11_surface_get_xid(GDK_SURFACE(surface));
  XWMHints* hints = XGetWMHints(display, xid);
  if (!hints) hints = XAllocWMHints();
  if (!hints) return;
  if (on) {
    hints->flags |= XUrgencyHint;
  } else {
    hints->flags &= ~XUrgencyHint;
  }
  XSetWMHints(display, xid, hints);
  XFree(hints);
  XFlush(display);
}

bool GtkMainWindow::is_visible() {
  assert_main_thread();
  return window_ && gtk_widget_get_visible(GTK_WIDGET(window_)) != FALSE;
}

bool GtkMainWindow::is_focused() {
  assert_main_thread();
  return window_ && gtk_window_is_active(window_) != FALSE;
}

bool GtkMainWindow::is_fullscreen() {
  assert_main_thread();
  return window_ && gtk_window_is_fullscreen(window_) != FALSE;
}

bool GtkMainWindow::is_minimized() {
  assert_main_thread();
  GdkSurface* surface = window_ ? gtk_native_get_surface(GTK_NATIVE(window_)) : nullptr;
  return surface && GDK_IS_TOPLEVEL(surface) &&
         (gdk_toplevel_get_state(GDK_TOPLEVEL(surface)) & GDK_TOPLEVEL_STATE_MINIMIZED) != 0;
}

bool GtkMainWindow::is_resizable() {
  assert_main_thread();
  return window_ && gtk_window_get_resizable(window_) != FALSE;
}

bool GtkMainWindow::is_decorated() {
  assert_main_thread();
  return window_ && gtk_window_get_decorated(window_) != FALSE;
}

std::string GtkMainWindow::title() {
  assert_main_thread();
  const char* text = window_ ? gtk_window_get_title(window_) : nullptr;
  return text ? text : "";
}

void GtkMainWindow::set_inner_size(PixelSize size) {
  assert_main_thread();
  if (!window_) return;
  double scale = scale_factor();
  PixelSize extra = decoration(true);
  // GTK 4 resizes a shown window to its default size.
  gtk_window_set_default_size(window_, to_logical(size.width, scale) + extra.width,
                              to_logical(size.height, scale) + extra.height);
}

void GtkMainWindow::set_min_inner_size(std::optional<PixelSize> size) {
  assert_main_thread();
  if (!window_) return;
  if (!size) {
    gtk_widget_set_size_request(GTK_WIDGET(window_), -1, -1);
    return;
  }
  double scale = scale_factor();
  PixelSize extra = decoration(false);
  gtk_widget_set_size_request(GTK_WIDGET(window_), to_logical(size->width, scale) + extra.width,
                              to_logical(size->height, scale) + extra.height);
}

void GtkMainWindow::set_fullscreen(bool on) {
  assert_main_thread();
  if (!window_) return;
  if (on) {
    gtk_window_fullscreen(window_);
  } else {
    gtk_window_unfullscreen(window_);
  }
}

void GtkMainWindow::set_resizable(bool on) {
  assert_main_thread();
  if (window_) gtk_window_set_resizable(window_, on ? TRUE : FALSE);
}

void GtkMainWindow::set_decorated(bool on) {
  assert_main_thread();
  if (window_) gtk_window_set_decorated(window_, on ? TRUE : FALSE);
}

void GtkMainWindow::focus() {
  assert_main_thread();
  if (window_) gtk_window_present(window_);
}

void GtkMainWindow::show() {
  assert_main_thread();
  if (window_) gtk_window_present(window_);
}

void GtkMainWindow::hide() {
  assert_main_thread();
  if (window_) gtk_widget_set_visible(GTK_WIDGET(window_), FALSE);
}

std::optional<PixelSize> GtkMainWindow::normal_size() {
  assert_main_thread();
  if (!window_) return std::nullopt;
  int width = 0;
  int height = 0;
  // GTK 4 keeps the default size at the size the user last gave the unmaximized window.
  gtk_window_get_default_size(window_, &width, &height);
  if (width <= 0 || height <= 0) return std::nullopt;
  return PixelSize{width, height};
}

void GtkMainWindow::set_normal_size(PixelSize size) {
  assert_main_thread();
  if (window_) gtk_window_set_default_size(window_, size.width, size.height);
}

void GtkMainWindow::set_title(const std::string& title) {
  assert_main_thread();
  if (window_) gtk_window_set_title(window_, title.c_str());
}

void GtkMainWindow::start_dragging() {
  assert_main_thread();
  if (!window_ || !pressed_ || !press_device_) return;
  GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window_));
  if (!surface || !GDK_IS_TOPLEVEL(surface)) return;
  gdk_toplevel_begin_move(GDK_TOPLEVEL(surface), press_device_, static_cast<int>(press_button_),
                          press_x_, press_y_, press_time_);
}

}  // namespace vessa::platform
