// Modal panels on GTK 4.8: file choosers and message dialogs. GtkFileChooserNative and
// GtkMessageDialog are deprecated from GTK 4.10 on (GtkFileDialog, GtkAlertDialog) but are all
// that 4.8 offers; the warnings are silenced in this file only.
#include "platform/gtk/dialogs_gtk.hpp"

#include <algorithm>
#include <memory>

G_GNUC_BEGIN_IGNORE_DEPRECATIONS

namespace vessa::platform {
namespace {

// The panels on screen, each with the way to end it as a cancel, and whether the application
// is quitting (panels then answer "cancel" at once). Main thread only.
struct OpenPanel {
  gpointer state;
  std::function<void()> cancel;
};
std::vector<OpenPanel> g_open_panels;
bool g_quitting = false;

// While quitting, panels answer from an idle callback: WebKit does not take a script dialog's
// or a file request's answer inside the signal that asked for it.
void answer_soon(std::function<void()> answer) {
  g_idle_add_full(
      G_PRIORITY_DEFAULT,
      +[](gpointer data) noexcept -> gboolean {
        try {
          (*static_cast<std::function<void()>*>(data))();
        } catch (...) {
        }
        return G_SOURCE_REMOVE;
      },
      new std::function<void()>(std::move(answer)),
      [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

void forget_panel(gpointer state) {
  std::erase_if(g_open_panels, [state](const OpenPanel& p) { return p.state == state; });
}

struct ChooserState {
  GtkFileChooserNative* native;
  PathsCallback done;
};

void on_chooser_response(GtkNativeDialog* dialog, int response, gpointer data) noexcept {
  std::unique_ptr<ChooserState> state(static_cast<ChooserState*>(data));
  forget_panel(data);
  std::optional<std::vector<std::string>> result;
  if (response == GTK_RESPONSE_ACCEPT) {
    result.emplace();
    GListModel* files = gtk_file_chooser_get_files(GTK_FILE_CHOOSER(dialog));
    for (guint i = 0; i < g_list_model_get_n_items(files); ++i) {
      auto* file = static_cast<GFile*>(g_list_model_get_item(files, i));
      if (gchar* path = g_file_get_path(file)) {
        result->emplace_back(path);
        g_free(path);
      }
      g_object_unref(file);
    }
    g_object_unref(files);
  }
  gtk_native_dialog_destroy(dialog);
  g_object_unref(state->native);
  try {
    state->done(std::move(result));
  } catch (...) {
  }
}

struct PanelState {
  GtkWidget* entry = nullptr;
  std::function<void(bool, std::string)> done;
};

void on_panel_response(GtkDialog* dialog, int response, gpointer data) noexcept {
  std::unique_ptr<PanelState> state(static_cast<PanelState*>(data));
  forget_panel(data);
  bool ok = response == GTK_RESPONSE_OK;
  std::string text;
  if (state->entry) text = gtk_editable_get_text(GTK_EDITABLE(state->entry));
  gtk_window_destroy(GTK_WINDOW(dialog));
  try {
    state->done(ok, std::move(text));
  } catch (...) {
  }
}

}  // namespace

GtkWindow* panel_parent(GtkWidget* widget) {
  if (widget) {
    GtkRoot* root = gtk_widget_get_root(widget);
    if (root && GTK_IS_WINDOW(root)) return GTK_WINDOW(root);
  }
  GApplication* app = g_application_get_default();
  if (app && GTK_IS_APPLICATION(app))
    return gtk_application_get_active_window(GTK_APPLICATION(app));
  return nullptr;
}

void choose_paths_async(GtkWindow* parent, bool directories, bool multiple, PathsCallback done) {
  if (g_quitting) {
    answer_soon([done = std::move(done)] { done(std::nullopt); });
    return;
  }
  GtkFileChooserNative* native = gtk_file_chooser_native_new(
      directories ? "Choose Folder" : "Choose File", parent,
      directories ? GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER : GTK_FILE_CHOOSER_ACTION_OPEN, "_Open",
      "_Cancel");
  gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(native), TRUE);
  gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(native), multiple);
  auto* state = new ChooserState{native, std::move(done)};
  g_signal_connect(native, "response", G_CALLBACK(on_chooser_response), state);
  g_open_panels.push_back({state, [native, state] {
                             g_signal_handlers_disconnect_by_data(native, state);
                             gtk_native_dialog_hide(GTK_NATIVE_DIALOG(native));
                             on_chooser_response(GTK_NATIVE_DIALOG(native), GTK_RESPONSE_CANCEL,
                                                 state);
                           }});
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(native));
}

void show_message_panel(GtkWindow* parent, PanelKind kind, const std::string& message,
                        const std::string& default_text,
                        std::function<void(bool ok, std::string text)> done) {
  if (g_quitting) {
    answer_soon([done = std::move(done)] { done(false, std::string()); });
    return;
  }
  GtkWidget* dialog =
      gtk_message_dialog_new(parent, static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL),
                             GTK_MESSAGE_OTHER, GTK_BUTTONS_NONE, "%s", message.c_str());
  gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
  if (kind != PanelKind::kAlert) {
    gtk_dialog_add_button(GTK_DIALOG(dialog), "Cancel", GTK_RESPONSE_CANCEL);
  }
  gtk_dialog_add_button(GTK_DIALOG(dialog), "OK", GTK_RESPONSE_OK);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
  auto* state = new PanelState{nullptr, std::move(done)};
  if (kind == PanelKind::kPrompt) {
    GtkWidget* entry = gtk_entry_new();
    gtk_widget_set_size_request(entry, 260, 24);
    gtk_editable_set_text(GTK_EDITABLE(entry), default_text.c_str());
    gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
    GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog));
    gtk_box_append(GTK_BOX(area), entry);
    state->entry = entry;
  }
  g_signal_connect(dialog, "response", G_CALLBACK(on_panel_response), state);
  g_open_panels.push_back({state, [dialog, state] {
                             g_signal_handlers_disconnect_by_data(dialog, state);
                             on_panel_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL, state);
                           }});
  gtk_window_present(GTK_WINDOW(dialog));
}

void cancel_panels_for_quit() {
  g_quitting = true;
  // A panel's answer may open no new one now (g_quitting), so this ends.
  while (!g_open_panels.empty()) {
    auto cancel = std::move(g_open_panels.back().cancel);
    g_open_panels.pop_back();
    cancel();
  }
}

std::optional<std::vector<std::string>> GtkDialogs::choose_paths(bool directories, bool multiple) {
  auto result = std::make_shared<std::optional<std::vector<std::string>>>();
  auto answered = std::make_shared<bool>(false);
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  choose_paths_async(panel_parent(nullptr), directories, multiple,
                     [result, answered, loop](std::optional<std::vector<std::string>> chosen) {
                       *result = std::move(chosen);
                       *answered = true;
                       g_main_loop_quit(loop);
                     });
  // A loop quit before it runs would run forever.
  if (!*answered) g_main_loop_run(loop);
  g_main_loop_unref(loop);
  return *result;
}

}  // namespace vessa::platform

G_GNUC_END_IGNORE_DEPRECATIONS
