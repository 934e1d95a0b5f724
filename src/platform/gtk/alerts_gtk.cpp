// Modal alerts on GTK 4.8. GtkMessageDialog is deprecated from GTK 4.10 on (GtkAlertDialog)
// but is all that 4.8 offers; the warnings are silenced in this file only.
#include "platform/gtk/alerts_gtk.hpp"

#include <gtk/gtk.h>

#include <memory>

#include "support/callback_guard.hpp"
#include "support/glib_ptr.hpp"
#include "support/main_thread.hpp"

G_GNUC_BEGIN_IGNORE_DEPRECATIONS

namespace vessa::platform {
namespace {

struct AlertState {
  std::function<void(int)> done;
  int buttons = 0;
  SignalConnection response;  // the handler never outlives this state
};

GtkWindow* active_window() {
  GApplication* app = g_application_get_default();
  if (app == nullptr || !GTK_IS_APPLICATION(app)) return nullptr;
  return gtk_application_get_active_window(GTK_APPLICATION(app));
}

void on_response(GtkDialog* dialog, int response, AlertState* data) noexcept {
  std::unique_ptr<AlertState> state(data);
  gtk_window_destroy(GTK_WINDOW(dialog));
  int button = response >= 0 && response < state->buttons ? response : -1;
  if (!state->done) return;
  guard_callback("alert answer failed", [&] { state->done(button); });
}

}  // namespace

void GtkAlerts::show(const Alert& alert, std::function<void(int button)> done) {
  assert_main_thread();
  GtkWindow* parent = active_window();
  GtkWidget* dialog = gtk_message_dialog_new(
      parent, GTK_DIALOG_MODAL,
      alert.style == AlertStyle::kWarning ? GTK_MESSAGE_WARNING : GTK_MESSAGE_INFO,
      GTK_BUTTONS_NONE, "%s", alert.message.c_str());
  if (!alert.informative_text.empty()) {
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s",
                                             alert.informative_text.c_str());
  }
  gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
  gtk_window_set_title(GTK_WINDOW(dialog), "Vessa");
  int index = 0;
  for (const auto& title : alert.buttons) {
    gtk_dialog_add_button(GTK_DIALOG(dialog), title.c_str(), index++);
  }
  if (index > 0) gtk_dialog_set_default_response(GTK_DIALOG(dialog), 0);
  auto* state = new AlertState{std::move(done), index, {}};
  state->response = connect(dialog, "response", on_response, state);
  gtk_window_present(GTK_WINDOW(dialog));
}

bool GtkAlerts::ready_to_present() {
  assert_main_thread();
  GtkWindow* window = active_window();
  return window != nullptr && gtk_widget_get_mapped(GTK_WIDGET(window));
}

}  // namespace vessa::platform

G_GNUC_END_IGNORE_DEPRECATIONS
