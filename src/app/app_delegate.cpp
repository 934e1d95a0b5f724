// The application delegate: the main window, the menu, the executor supervisor and quitting.
#include "app/app_delegate.hpp"

#include <cstring>
#include <string_view>

#include "app/deferred_launch.hpp"
#include "app/preview_window.hpp"
#include "app/updater_hooks.hpp"
#include "bridge/ui_token.hpp"
#include "commands/window_state.hpp"
#include "executor/executor_supervisor.hpp"
#include "platform/gtk/alerts_gtk.hpp"
#include "platform/gtk/appearance_gtk.hpp"
#include "platform/gtk/clipboard_gtk.hpp"
#include "platform/gtk/dialogs_gtk.hpp"
#include "platform/gtk/main_window_gtk.hpp"
#include "platform/services.hpp"
#include "support/bundle.hpp"
#include "support/callback_guard.hpp"
#include "support/lifecycle.hpp"
#include "support/log.hpp"
#include "support/main_thread.hpp"

namespace vessa::app {

using executor::ExecutorSupervisor;

namespace {

constexpr const char* kSnoozeKey = "vessa.update.snoozeUntil";

AppDelegate* delegate_of(gpointer data) { return static_cast<AppDelegate*>(data); }

void act_about(GSimpleAction*, GVariant*, gpointer data) noexcept {
  guard_callback("about panel failed", [data] {
    gtk_show_about_dialog(delegate_of(data)->window(), "program-name", "Vessa", "version",
                          bundle::info_string("CFBundleShortVersionString", "0.0.0").c_str(),
                          nullptr);
  });
}
void act_name_computer(GSimpleAction*, GVariant*, gpointer data) noexcept {
  guard_callback("device naming failed", [data] { delegate_of(data)->open_device_naming(); });
}
void act_check_updates(GSimpleAction*, GVariant*, gpointer data) noexcept {
  guard_callback("update check failed", [data] { delegate_of(data)->check_for_updates(); });
}
void act_hide(GSimpleAction*, GVariant*, gpointer data) noexcept {
  if (GtkWindow* w = delegate_of(data)->window()) gtk_window_minimize(w);
}
void act_quit(GSimpleAction*, GVariant*, gpointer data) noexcept {
  guard_callback("quit failed", [data] { delegate_of(data)->quit(); });
}

// Editing commands go to the web view, as the first responder would take them.
void edit(GSimpleAction* action, AppDelegate* delegate) {
  auto host = delegate->web_controller();
  if (!host || !host->web_view()) return;
  const char* name = g_action_get_name(G_ACTION(action));
  const std::pair<const char*, const char*> commands[] = {
      {"undo", WEBKIT_EDITING_COMMAND_UNDO},   {"redo", WEBKIT_EDITING_COMMAND_REDO},
      {"cut", WEBKIT_EDITING_COMMAND_CUT},     {"copy", WEBKIT_EDITING_COMMAND_COPY},
      {"paste", WEBKIT_EDITING_COMMAND_PASTE}, {"select-all", WEBKIT_EDITING_COMMAND_SELECT_ALL},
  };
  for (const auto& [action_name, command] : commands) {
    if (g_strcmp0(name, action_name) == 0) {
      webkit_web_view_execute_editing_command(host->web_view(), command);
    }
  }
}
void act_edit(GSimpleAction* action, GVariant*, gpointer data) noexcept {
  guard_callback("editing command failed", [action, data] { edit(action, delegate_of(data)); });
}

struct MenuItem {
  int section;  // items with the same number share a section
  bool in_edit_menu;
  const char* label;
  const char* action;  // "app.<name>" on the application, "win.<name>" on the window
  const char* accel;   // shown beside the label (gtk_accelerator_parse's form); nullptr: none
  // The window acts on the key when the page leaves it alone. Editing keys are only shown:
  // the web content performs them itself.
  bool app_key;
  void (*handler)(GSimpleAction*, GVariant*, gpointer) noexcept;
};

// Hide has no key on Linux: Ctrl+H belongs to the page (and to the desktop's own bindings).
constexpr MenuItem kMenuItems[] = {
    {0, false, "About Vessa", "app.about", nullptr, false, act_about},
    {1, false, "Name This Computer\u2026", "app.name-computer", "<Primary>comma", true,
     act_name_computer},
    {2, false, "Check for Updates\u2026", "app.check-for-updates", nullptr, false,
     act_check_updates},
    {3, false, "Hide Vessa", "app.hide", nullptr, false, act_hide},
    {3, false, "Quit Vessa", "app.quit", "<Primary>q", true, act_quit},
    {4, true, "Undo", "win.undo", "<Primary>z", false, act_edit},
    {4, true, "Redo", "win.redo", "<Primary><Shift>z", false, act_edit},
    {5, true, "Cut", "win.cut", "<Primary>x", false, act_edit},
    {5, true, "Copy", "win.copy", "<Primary>c", false, act_edit},
    {5, true, "Paste", "win.paste", "<Primary>v", false, act_edit},
    {5, true, "Select All", "win.select-all", "<Primary>a", false, act_edit},
};

// The window stays until will_terminate takes it down: the quit path still uses it.
gboolean on_close_request(GtkWindow* /*window*/, gpointer data) noexcept {
  guard_callback("quit failed", [data] { delegate_of(data)->quit(); });
  return TRUE;
}

void on_active_changed(GtkWindow* window, GParamSpec* /*pspec*/, gpointer data) noexcept {
  if (!gtk_window_is_active(window)) return;
  guard_callback("activation steps failed", [data] { delegate_of(data)->did_become_active(); });
}

}  // namespace

std::shared_ptr<AppDelegate> AppDelegate::create(GtkApplication* app,
                                                 WebViewHost::Options options) {
  assert_main_thread();
  return std::shared_ptr<AppDelegate>(new AppDelegate(app, std::move(options)));
}

AppDelegate::AppDelegate(GtkApplication* app, WebViewHost::Options options)
    : app_(app),
      options_(std::move(options)),
      executor_(ExecutorSupervisor::create([] {
        ExecutorSupervisor::Options executor;
        executor.ui_token = bridge::ui_token::value();
        return executor;
      }())),
      links_([this](const std::vector<std::string>& links) {
        emit(commands::deep_link::kNewUrlEvent, json(links));
      }) {}

AppDelegate::~AppDelegate() {
  window_signals_.clear();
  window_.reset();
}

std::shared_ptr<WebViewHost> AppDelegate::web_controller() const {
  std::scoped_lock lock(controller_mutex_);
  return web_controller_;
}

void AppDelegate::did_finish_launching() {
  assert_main_thread();
  if (launched_) return;
  launched_ = true;
  // The desktop's colour scheme is asked for first, so the window and the page usually start
  // in it; the page hears of every change after that.
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  auto appearance = std::make_shared<platform::GtkAppearance>([weak](platform::Theme theme) {
    if (auto self = weak.lock()) self->emit("tauri://theme-changed", platform::theme_name(theme));
  });
  platform::update_services([&](platform::Services& s) { s.appearance = appearance; });
  // 1-5. The main window: size, minimum, title. Held until will_terminate, whichever way the
  // quit came.
  window_ = g_object_ref_ptr(GTK_WINDOW(gtk_application_window_new(app_)));
  GtkWindow* window = window_.get();
  gtk_window_set_default_size(window, kWidth, kHeight);
  gtk_widget_set_size_request(GTK_WIDGET(window), kMinWidth, kMinHeight);
  gtk_window_set_title(window, "Vessa");

  // 6-7. The web view host fills the window. Two frames after its first finished load (the
  // page has painted by then), steps 11-12 run.
  auto options = options_;
  options.on_load_finished = [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->page_loaded_ = true;
    self->links_.page_loaded();
    if (self->launch_steps_ && self->window_) {
      self->launch_steps_->release_after_frames(GTK_WIDGET(self->window_.get()),
                                                kLaunchStepsFrames);
    }
  };
  auto host = WebViewHost::create(weak_from_this(), std::move(options));
  {
    std::scoped_lock lock(controller_mutex_);
    web_controller_ = host;
  }
  GtkWidget* content = host->build();
  gtk_window_set_child(window, content);

  auto main_window = std::make_shared<platform::GtkMainWindow>(
      window, [weak](const std::string& event, const json& payload) {
        if (auto self = weak.lock()) self->emit(event, payload);
      });
  // The size and zoom of the last run, before the window is first shown.
  commands::window_state::restore(*main_window);
  platform::update_services([&main_window](platform::Services& s) {
    s.main_window = main_window;
    s.dialogs = std::make_shared<platform::GtkDialogs>();
    s.alerts = std::make_shared<platform::GtkAlerts>();
    s.previews = PreviewWindowController::shared();
    s.clipboard = std::make_shared<platform::GtkClipboard>();
  });
  // After the main window's own handler, which holds the close while the page decides.
  window_signals_.push_back(
      connect(window, "close-request", on_close_request, this, G_CONNECT_AFTER));
  window_signals_.push_back(connect(window, "notify::is-active", on_active_changed, this));

  // 8-9. The header bar and its menu, then the window; keys go to the page from the start.
  build_menu();
  gtk_window_present(window);
  gtk_widget_grab_focus(content);

  // 10. Executor events reach the page through the bridge; dropped once the delegate is gone.
  executor_->set_emit([weak](const std::string& event, const json& payload) {
    if (auto self = weak.lock()) self->emit(event, payload);
  });
  // 11-12, in this order, once the first page has shown (or kLaunchStepsLimit has passed): the
  // login shell, the sidecar's start and the network request would otherwise compete with the
  // web process for the CPU while it shows the first page.
  launch_steps_ = DeferredLaunch::create([weak] {
    if (auto self = weak.lock()) {
      self->executor_->ensureRunning(false);
      start_launch_update_check();
    }
  });
  launch_steps_->arm(kLaunchStepsLimit);
}

void AppDelegate::build_menu() {
  // Each item's action, its entry in the header bar's primary menu and, for some, a key of the
  // window: the shortcuts come after the page, in the bubble phase, as WebKit passes on only the
  // keys the page left alone.
  GObjectPtr<GMenu> primary(g_menu_new());
  GObjectPtr<GMenu> edit;
  GObjectPtr<GMenu> section;
  int section_no = -1;
  GtkEventController* shortcuts = gtk_shortcut_controller_new();
  gtk_event_controller_set_propagation_phase(shortcuts, GTK_PHASE_BUBBLE);
  auto end_section = [&] {
    if (!section) return;
    g_menu_append_section(edit ? edit.get() : primary.get(), nullptr, G_MENU_MODEL(section.get()));
    section.reset();
  };
  for (const MenuItem& item : kMenuItems) {
    const bool on_window = std::string_view(item.action).starts_with("win.");
    const GActionEntry action{
        std::strchr(item.action, '.') + 1, item.handler, nullptr, nullptr, nullptr, {}};
    g_action_map_add_action_entries(on_window ? G_ACTION_MAP(window_.get()) : G_ACTION_MAP(app_),
                                    &action, 1, this);

    if (item.in_edit_menu && !edit) {
      end_section();
      edit.reset(g_menu_new());
    }
    if (item.section != section_no) {
      end_section();
      section.reset(g_menu_new());
      section_no = item.section;
    }
    GObjectPtr<GMenuItem> entry(g_menu_item_new(item.label, item.action));
    // A label only: registering it as an accelerator would take the key before the page.
    if (item.accel) g_menu_item_set_attribute(entry.get(), "accel", "s", item.accel);
    g_menu_append_item(section.get(), entry.get());
    if (item.app_key) {
      gtk_shortcut_controller_add_shortcut(
          GTK_SHORTCUT_CONTROLLER(shortcuts),
          gtk_shortcut_new(gtk_shortcut_trigger_parse_string(item.accel),
                           gtk_named_action_new(item.action)));
    }
  }
  end_section();
  if (edit) {
    GObjectPtr<GMenu> edit_section(g_menu_new());
    g_menu_append_submenu(edit_section.get(), "Edit", G_MENU_MODEL(edit.get()));
    g_menu_append_section(primary.get(), nullptr, G_MENU_MODEL(edit_section.get()));
    edit.reset();
  }
  gtk_widget_add_controller(GTK_WIDGET(window_.get()), shortcuts);

  GtkWidget* header = gtk_header_bar_new();
  GtkWidget* button = gtk_menu_button_new();
  gtk_menu_button_set_icon_name(GTK_MENU_BUTTON(button), "open-menu-symbolic");
  gtk_menu_button_set_menu_model(GTK_MENU_BUTTON(button), G_MENU_MODEL(primary.get()));
  gtk_menu_button_set_primary(GTK_MENU_BUTTON(button), TRUE);  // F10 opens it
  gtk_widget_set_tooltip_text(button, "Main Menu");
  primary.reset();
  gtk_header_bar_pack_end(GTK_HEADER_BAR(header), button);
  gtk_window_set_titlebar(window_.get(), header);
}

void AppDelegate::did_become_active() {
  assert_main_thread();
  // Becoming active during the launch is covered by the launch's own ensure, still to come.
  if (launch_steps_ && !launch_steps_->done()) return;
  executor_->ensureRunning(false);
}

void AppDelegate::will_terminate() {
  assert_main_thread();
  if (terminated_) return;
  terminated_ = true;
  vessa::log("application will terminate");
  platform::cancel_panels_for_quit();
  // A sidecar started after the stop below would outlive the shell.
  if (launch_steps_) launch_steps_->cancel();
  executor_->stop();
  if (auto main_window = platform::services().main_window) {
    if (auto saved = commands::window_state::save(*main_window); !saved) {
      vessa::log("window state not saved: " + saved.error());
    }
  }
  lifecycle::run_will_terminate();
  platform::update_services([](platform::Services& s) {
    s.main_window.reset();
    s.dialogs.reset();
    s.alerts.reset();
    s.previews.reset();
    s.clipboard.reset();
    s.appearance.reset();
  });
  PreviewWindowController::shared()->destroy();
  std::shared_ptr<WebViewHost> host;
  {
    std::scoped_lock lock(controller_mutex_);
    host.swap(web_controller_);
  }
  if (window_) {
    window_signals_.clear();
    gtk_window_destroy(window_.get());
    window_.reset();
  }
  host.reset();
}

void AppDelegate::open_device_naming() const {
  assert_main_thread();
  if (auto host = web_controller()) host->evaluate("window.location.hash = 'devices';");
}

void AppDelegate::open_links(const std::vector<std::string>& links) {
  assert_main_thread();
  links_.receive(links, page_ready());
}

// A page that is loading (the first one, or a reload) gets its links when the load finishes.
bool AppDelegate::page_ready() const {
  auto host = web_controller();
  return page_loaded_ && host && host->web_view() &&
         webkit_web_view_is_loading(host->web_view()) == FALSE;
}

void AppDelegate::emit(const std::string& event, const json& payload) {
  if (auto host = web_controller()) host->bridge()->emit(event, payload);
}

void AppDelegate::quit() {
  assert_main_thread();
  // A panel left up would hold the quit (and the page's promise): it answers "cancel" first.
  platform::cancel_panels_for_quit();
  g_application_quit(G_APPLICATION(app_));
}

void AppDelegate::check_for_updates() {
  assert_main_thread();
  if (auto defaults = platform::services().user_defaults) defaults->remove(kSnoozeKey);
  start_user_initiated_update_check();
}

}  // namespace vessa::app
