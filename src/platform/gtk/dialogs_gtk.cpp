// Modal panels on GTK 4.8: file choosers and message dialogs. GtkFileChooserNative and
// GtkMessageDialog are deprecated from GTK 4.10 on (GtkFileDialog, GtkAlertDialog) but are all
// that 4.8 offers; the warnings are silenced in this file only.
#include "platform/gtk/dialogs_gtk.hpp"

#include <algorithm>
#include <memory>
#include <utility>

#include "support/callback_guard.hpp"
#include "support/glib_ptr.hpp"
#include "support/main_thread.hpp"

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
        guard_callback("panel answer failed",
                       [data] { (*static_cast<std::function<void()>*>(data))(); });
        return G_SOURCE_REMOVE;
      },
      new std::function<void()>(std::move(answer)),
      [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

void forget_panel(gpointer state) {
  std::erase_if(g_open_panels, [state](const OpenPanel& p) { return p.state == state; });
}

struct ChooserState {
  GObjectPtr<GtkFileChooserNative> native;
  PathsCallback done;
  SignalConnection response;  // first to go: the handler never outlives this state
};

void on_chooser_response(GtkNativeDialog* dialog, int response, ChooserState* data) noexcept {
  std::unique_ptr<ChooserState> state(data);
  forget_panel(data);
  guard_callback("file chooser answer failed", [&] {
    std::optional<std::vector<std::string>> result;
    if (response == GTK_RESPONSE_ACCEPT) {
      result.emplace();
      GObjectPtr<GListModel> files(gtk_file_chooser_get_files(GTK_FILE_CHOOSER(dialog)));
      for (guint i = 0; i < g_list_model_get_n_items(files.get()); ++i) {
        GObjectPtr<GFile> file(static_cast<GFile*>(g_list_model_get_item(files.get(), i)));
        if (GCharPtr path{g_file_get_path(file.get())}) result->emplace_back(path.get());
      }
    }
    gtk_native_dialog_destroy(dialog);
    state->native.reset();
    state->done(std::move(result));
  });
}

struct PanelState {
  GtkWidget* entry = nullptr;
  std::function<void(bool, std::string)> done;
  SignalConnection response;
};

void on_panel_response(GtkDialog* dialog, int response, PanelState* data) noexcept {
  std::unique_ptr<PanelState> state(data);
  forget_panel(data);
  guard_callback("panel answer failed", [&] {
    bool ok = response == GTK_RESPONSE_OK;
    std::string text;
    if (state->entry) text = gtk_editable_get_text(GTK_EDITABLE(state->entry));
    gtk_window_destroy(GTK_WINDOW(dialog));
    state->done(ok, std::move(text));
  });
}

// Filters only narrow what files show; a folder chooser has none.
void add_filters(GtkFileChooser* chooser, const std::vector<FileFilter>& filters) {
  for (const auto& f : filters) {
    GObjectPtr<GtkFileFilter> filter(gtk_file_filter_new());
    gtk_file_filter_set_name(filter.get(), f.name.c_str());
    for (const auto& ext : f.extensions) {
      if (ext == "*") {
        gtk_file_filter_add_pattern(filter.get(), "*");
      } else {
        gtk_file_filter_add_suffix(filter.get(), ext.c_str());  // case-insensitive
      }
    }
    gtk_file_chooser_add_filter(chooser, filter.get());
  }
}

// A folder opens as itself; a file path opens its folder and, when saving, proposes its name.
void start_at(GtkFileChooser* chooser, const std::string& path, bool save) {
  if (path.empty()) return;
  GObjectPtr<GFile> file(g_file_new_for_path(path.c_str()));
  const bool is_folder =
      g_file_query_file_type(file.get(), G_FILE_QUERY_INFO_NONE, nullptr) == G_FILE_TYPE_DIRECTORY;
  GObjectPtr<GFile> folder =
      is_folder ? g_object_ref_ptr(file.get()) : GObjectPtr<GFile>(g_file_get_parent(file.get()));
  if (folder != nullptr && g_file_query_exists(folder.get(), nullptr)) {
    gtk_file_chooser_set_current_folder(chooser, folder.get(), nullptr);
  }
  if (save && !is_folder) {
    if (GCharPtr name{g_file_get_basename(file.get())}) {
      gtk_file_chooser_set_current_name(chooser, name.get());
    }
  }
}

struct ButtonsState {
  std::function<void(std::optional<size_t>)> done;
  size_t buttons = 0;
  SignalConnection response;
};

void on_buttons_response(GtkDialog* dialog, int response, ButtonsState* data) noexcept {
  std::unique_ptr<ButtonsState> state(data);
  forget_panel(data);
  gtk_window_destroy(GTK_WINDOW(dialog));
  std::optional<size_t> clicked;
  if (response >= 0 && std::cmp_less(response, state->buttons)) clicked = response;
  guard_callback("panel answer failed", [&] { state->done(clicked); });
}

// Runs a panel started by `start` in a nested main loop until it answers.
template <class T>
T run_modal(const std::function<void(std::function<void(T)>)>& start) {
  auto result = std::make_shared<T>();
  auto answered = std::make_shared<bool>(false);
  GMainLoopPtr loop(g_main_loop_new(nullptr, FALSE));
  start([result, answered, loop = loop.get()](T value) {
    *result = std::move(value);
    *answered = true;
    g_main_loop_quit(loop);
  });
  // A loop quit before it runs would run forever.
  if (!*answered) g_main_loop_run(loop.get());
  return std::move(*result);
}

}  // namespace

GtkWindow* panel_parent(GtkWidget* widget) {
  assert_main_thread();
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
  assert_main_thread();
  ChooserOptions options;
  options.directories = directories;
  options.multiple = multiple;
  choose_paths_async(parent, ChooserMode::kOpen, options, std::move(done));
}

void choose_paths_async(GtkWindow* parent, ChooserMode mode, const ChooserOptions& options,
                        PathsCallback done) {
  assert_main_thread();
  if (g_quitting) {
    answer_soon([done = std::move(done)] { done(std::nullopt); });
    return;
  }
  const bool save = mode == ChooserMode::kSave;
  const bool folders = !save && options.directories;
  const char* title = save ? "Save File" : folders ? "Choose Folder" : "Choose File";
  GtkFileChooserAction action = save      ? GTK_FILE_CHOOSER_ACTION_SAVE
                                : folders ? GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER
                                          : GTK_FILE_CHOOSER_ACTION_OPEN;
  GtkFileChooserNative* native =
      gtk_file_chooser_native_new(options.title ? options.title->c_str() : title, parent, action,
                                  save ? "_Save" : "_Open", "_Cancel");
  gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(native), TRUE);
  auto* chooser = GTK_FILE_CHOOSER(native);
  gtk_file_chooser_set_select_multiple(chooser, !save && options.multiple);
  if (!folders) add_filters(chooser, options.filters);
  if (options.default_path) start_at(chooser, *options.default_path, save);
  auto* state = new ChooserState{GObjectPtr<GtkFileChooserNative>(native), std::move(done), {}};
  state->response = connect(native, "response", on_chooser_response, state);
  g_open_panels.push_back({state, [native, state] {
                             state->response.disconnect();
                             gtk_native_dialog_hide(GTK_NATIVE_DIALOG(native));
                             on_chooser_response(GTK_NATIVE_DIALOG(native), GTK_RESPONSE_CANCEL,
                                                 state);
                           }});
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(native));
}

void show_message_panel(GtkWindow* parent, PanelKind kind, const std::string& message,
                        const std::string& default_text,
                        std::function<void(bool ok, std::string text)> done) {
  assert_main_thread();
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
  auto* state = new PanelState{nullptr, std::move(done), {}};
  if (kind == PanelKind::kPrompt) {
    GtkWidget* entry = gtk_entry_new();
    gtk_widget_set_size_request(entry, 260, 24);
    gtk_editable_set_text(GTK_EDITABLE(entry), default_text.c_str());
    gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
    GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog));
    gtk_box_append(GTK_BOX(area), entry);
    state->entry = entry;
  }
  state->response = connect(dialog, "response", on_panel_response, state);
  g_open_panels.push_back({state, [dialog, state] {
                             state->response.disconnect();
                             on_panel_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL, state);
                           }});
  gtk_window_present(GTK_WINDOW(dialog));
}

void show_buttons_panel(GtkWindow* parent, const MessageOptions& options,
                        std::function<void(std::optional<size_t>)> done) {
  assert_main_thread();
  if (g_quitting || options.buttons.empty()) {
    answer_soon([done = std::move(done)] { done(std::nullopt); });
    return;
  }
  GtkMessageType type = options.kind == MessageKind::kError     ? GTK_MESSAGE_ERROR
                        : options.kind == MessageKind::kWarning ? GTK_MESSAGE_WARNING
                                                                : GTK_MESSAGE_INFO;
  // With a title, the title is the panel's heading and the message explains it.
  const std::string& heading = options.title ? *options.title : options.message;
  GtkWidget* dialog = gtk_message_dialog_new(parent, static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL),
                                             type, GTK_BUTTONS_NONE, "%s", heading.c_str());
  if (options.title) {
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s",
                                             options.message.c_str());
  }
  gtk_window_set_title(GTK_WINDOW(dialog), options.title ? options.title->c_str() : "Vessa");
  gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
  // The desktop's order: the dismissing button leftmost, the default one rightmost.
  for (size_t i = options.buttons.size(); i-- > 0;) {
    gtk_dialog_add_button(GTK_DIALOG(dialog), options.buttons[i].c_str(), static_cast<int>(i));
  }
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), 0);
  auto* state = new ButtonsState{std::move(done), options.buttons.size(), {}};
  state->response = connect(dialog, "response", on_buttons_response, state);
  g_open_panels.push_back({state, [dialog, state] {
                             state->response.disconnect();
                             on_buttons_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL, state);
                           }});
  gtk_window_present(GTK_WINDOW(dialog));
}

void cancel_panels_for_quit() {
  assert_main_thread();
  g_quitting = true;
  // A panel's answer may open no new one now (g_quitting), so this ends.
  while (!g_open_panels.empty()) {
    auto cancel = std::move(g_open_panels.back().cancel);
    g_open_panels.pop_back();
    cancel();
  }
}

std::optional<std::vector<std::string>> GtkDialogs::choose_paths(const ChooserOptions& options) {
  assert_main_thread();
  using Paths = std::optional<std::vector<std::string>>;
  return run_modal<Paths>([&options](std::function<void(Paths)> done) {
    choose_paths_async(panel_parent(nullptr), ChooserMode::kOpen, options, std::move(done));
  });
}

std::optional<std::string> GtkDialogs::choose_save_path(const ChooserOptions& options) {
  assert_main_thread();
  using Paths = std::optional<std::vector<std::string>>;
  auto chosen = run_modal<Paths>([&options](std::function<void(Paths)> done) {
    choose_paths_async(panel_parent(nullptr), ChooserMode::kSave, options, std::move(done));
  });
  if (!chosen || chosen->empty()) return std::nullopt;
  return chosen->front();
}

std::optional<size_t> GtkDialogs::show_message(const MessageOptions& options) {
  assert_main_thread();
  using Clicked = std::optional<size_t>;
  return run_modal<Clicked>([&options](std::function<void(Clicked)> done) {
    show_buttons_panel(panel_parent(nullptr), options, std::move(done));
  });
}

}  // namespace vessa::platform

G_GNUC_END_IGNORE_DEPRECATIONS
