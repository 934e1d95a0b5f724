// The main window as the command families see it, on a GtkWindow.
#include "platform/gtk/main_window_gtk.hpp"

#include <string>

namespace vessa::platform {

GtkMainWindow::GtkMainWindow(GtkWindow* window) : window_(window) {
  g_object_weak_ref(G_OBJECT(window_), &GtkMainWindow::on_window_gone, this);
  GtkEventController* legacy = gtk_event_controller_legacy_new();
  gtk_event_controller_set_propagation_phase(legacy, GTK_PHASE_CAPTURE);
  g_signal_connect(legacy, "event", G_CALLBACK(&GtkMainWindow::on_event), this);
  gtk_widget_add_controller(GTK_WIDGET(window_), legacy);
  g_signal_connect(window_, "notify::maximized", G_CALLBACK(&GtkMainWindow::on_maximized_changed),
                   this);
}

GtkMainWindow::~GtkMainWindow() {
  zoom_next_.reset();
  zoom_done();
  if (window_) {
    g_signal_handlers_disconnect_by_data(window_, this);
    // The legacy controller lives in the window; stop it calling back into this object.
    GListModel* controllers = gtk_widget_observe_controllers(GTK_WIDGET(window_));
    for (guint i = 0; i < g_list_model_get_n_items(controllers); ++i) {
      auto* c = static_cast<GObject*>(g_list_model_get_item(controllers, i));
      g_signal_handlers_disconnect_by_data(c, this);
      g_object_unref(c);
    }
    g_object_unref(controllers);
    g_object_weak_unref(G_OBJECT(window_), &GtkMainWindow::on_window_gone, this);
  }
}

void GtkMainWindow::on_window_gone(gpointer data, GObject* /*where*/) noexcept {
  auto* self = static_cast<GtkMainWindow*>(data);
  self->window_ = nullptr;
  self->zoom_done();
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
  if (!window_) return false;
  if (zoom_next_) return *zoom_next_;
  if (zoom_sent_) return *zoom_sent_;
  return gtk_window_is_maximized(window_) != FALSE;
}

void GtkMainWindow::maximize() { request_zoom(true); }

void GtkMainWindow::unmaximize() { request_zoom(false); }

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
  if (self->zoom_sent_ && *self->zoom_sent_ == zoomed) self->zoom_done();
}

gboolean GtkMainWindow::on_zoom_deadline(gpointer data) noexcept {
  auto* self = static_cast<GtkMainWindow*>(data);
  // The window manager ignored the request: go on from the state the window really has.
  self->zoom_deadline_ = 0;
  self->zoom_done();
  return G_SOURCE_REMOVE;
}

void GtkMainWindow::minimize() {
  if (window_) gtk_window_minimize(window_);
}

void GtkMainWindow::close() {
  if (window_) gtk_window_close(window_);
}

void GtkMainWindow::set_title(const std::string& title) {
  if (window_) gtk_window_set_title(window_, title.c_str());
}

void GtkMainWindow::start_dragging() {
  if (!window_ || !pressed_ || !press_device_) return;
  GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window_));
  if (!surface || !GDK_IS_TOPLEVEL(surface)) return;
  gdk_toplevel_begin_move(GDK_TOPLEVEL(surface), press_device_, static_cast<int>(press_button_),
                          press_x_, press_y_, press_time_);
}

}  // namespace vessa::platform
