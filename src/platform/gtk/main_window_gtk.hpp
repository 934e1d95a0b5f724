// The main window as the command families see it, on a GtkWindow.
#pragma once

#include <gtk/gtk.h>

#include "platform/services.hpp"

namespace vessa::platform {

/// Wraps the main GtkWindow; every call does nothing once the window is gone. Main thread.
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
  bool is_dark() override;
  void start_dragging() override;

 private:
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
};

/// True when the GTK settings ask for a dark appearance: gtk-application-prefer-dark-theme, or
/// a theme name ending in "-dark" or ":dark".
bool gtk_prefers_dark();

}  // namespace vessa::platform
