// The page's window commands on a real GTK window managed by a real window manager: what each
// command answers, and the state the window then has.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/web_host_support.hpp"
#include "app/window_manager_support.hpp"
#include "commands/command_registry.hpp"
#include "fixtures/cli_fakes.hpp"
#include "fixtures/helpers.hpp"
#include "fixtures/temp_home.hpp"
#include "platform/gtk/appearance_gtk.hpp"
#include "platform/gtk/main_window_gtk.hpp"
#include "platform/services.hpp"

namespace vessa::testing {
namespace {

constexpr int kWidth = 420;
constexpr int kHeight = 300;

GdkToplevelState toplevel_state(GtkWindow* window) {
  GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window));
  return surface ? gdk_toplevel_get_state(GDK_TOPLEVEL(surface)) : GdkToplevelState{};
}

bool is_zoomed(GtkWindow* window) { return gtk_window_is_maximized(window) != FALSE; }

// Appearance settings for one case; the previous ones come back when it ends.
class Appearance {
 public:
  Appearance(bool prefer_dark, const char* theme) {
    g_object_get(settings(), "gtk-application-prefer-dark-theme", &prefer_dark_, "gtk-theme-name",
                 &theme_, nullptr);
    g_object_set(settings(), "gtk-application-prefer-dark-theme", prefer_dark, "gtk-theme-name",
                 theme, nullptr);
  }
  ~Appearance() {
    g_object_set(settings(), "gtk-application-prefer-dark-theme", prefer_dark_, "gtk-theme-name",
                 theme_, nullptr);
    g_free(theme_);
  }
  Appearance(const Appearance&) = delete;
  Appearance& operator=(const Appearance&) = delete;

 private:
  static GtkSettings* settings() { return gtk_settings_get_default(); }
  gboolean prefer_dark_ = FALSE;
  gchar* theme_ = nullptr;
};

class WindowCommands : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gtk_init();
    wm_ = new WindowManager();
  }
  static void TearDownTestSuite() {
    delete wm_;
    wm_ = nullptr;
  }

  void SetUp() override {
    ASSERT_EQ(wm_->error(), "");
    window_ = open_window();
    ASSERT_NE(window_, nullptr);
  }

  void TearDown() override {
    platform::update_services([](platform::Services& s) { s.main_window.reset(); });
    if (window_) gtk_window_destroy(window_);
    run_until([] { return false; }, std::chrono::milliseconds(50));
  }

  // A shown window that the window manager has taken (and focused), installed as the main one.
  GtkWindow* open_window() {
    GtkWindow* window = GTK_WINDOW(gtk_window_new());
    gtk_window_set_title(window, "Vessa");
    gtk_window_set_default_size(window, kWidth, kHeight);
    gtk_window_present(window);
    if (!run_until([&] { return gtk_window_is_active(window) != FALSE; })) {
      gtk_window_destroy(window);
      return nullptr;
    }
    install(window);
    return window;
  }

  void install(GtkWindow* window) {
    auto main_window = std::make_shared<platform::GtkMainWindow>(window);
    platform::update_services([&](platform::Services& s) { s.main_window = main_window; });
  }

  json ok(const std::string& op, const json& args = json::object()) {
    CommandResult r = dispatch_and_wait(*registry_, "plugin:window|" + op, args);
    EXPECT_TRUE(r.ok()) << op << ": " << r.error();
    return r.value();
  }

  static WindowManager* wm_;
  TempHome home_;
  std::shared_ptr<CommandRegistry> registry_ =
      std::make_shared<CommandRegistry>(std::weak_ptr<AppContext>());
  GtkWindow* window_ = nullptr;
};

WindowManager* WindowCommands::wm_ = nullptr;

TEST_F(WindowCommands, ZoomAnswersOnceTheWindowShowsIt) {
  ASSERT_FALSE(is_zoomed(window_));
  struct Step {
    const char* op;
    json args;
    bool zoomed;
  };
  const Step steps[] = {
      {"maximize", json::object(), true},
      {"maximize", json::object(), true},
      {"unmaximize", json::object(), false},
      {"unmaximize", json::object(), false},
      {"internal_toggle_maximize", json::object(), true},
      {"internal_toggle_maximize", json::object(), true},
      {"toggle_maximize", json::object(), false},
      {"toggle_maximize", json::object(), true},
      {"set_maximized", {{"value", false}}, false},
      {"set_maximized", {{"value", false}}, false},
      {"set_maximized", {{"value", "yes"}}, true},  // not a boolean: maximize
      {"set_maximized", {{"value", true}}, true},
      {"set_maximized", {{"value", false}}, false},
      {"set_maximized", json::object(), true},
      {"unmaximize", json::object(), false},
  };
  for (const Step& s : steps) {
    std::string what = std::string(s.op) + " " + s.args.dump();
    EXPECT_EQ(ok(s.op, s.args), nullptr) << what;
    // The answer comes after the window manager has applied it, not at the request.
    EXPECT_EQ(is_zoomed(window_), s.zoomed) << what;
    EXPECT_EQ((toplevel_state(window_) & GDK_TOPLEVEL_STATE_MAXIMIZED) != 0, s.zoomed) << what;
    EXPECT_EQ(ok("is_maximized"), s.zoomed) << what;
  }
  // The zoom fills the screen; the plain size comes back after it.
  ok("maximize");
  EXPECT_TRUE(run_until([&] { return gtk_widget_get_width(GTK_WIDGET(window_)) > kWidth; }));
  ok("unmaximize");
  EXPECT_TRUE(run_until([&] { return gtk_widget_get_width(GTK_WIDGET(window_)) == kWidth; }));

  // The window manager refuses to zoom a window of fixed size: the answer still comes, and the
  // state reported afterwards is the real one.
  gtk_window_set_resizable(window_, FALSE);
  EXPECT_EQ(ok("maximize"), nullptr);
  EXPECT_FALSE(is_zoomed(window_));
  EXPECT_EQ(ok("is_maximized"), false);
}

TEST_F(WindowCommands, CommandsSentTogetherSeeEachOthersZoom) {
  // A page that does not await: each command runs before the window manager has answered the
  // one before it.
  std::vector<std::optional<CommandResult>> answers(5);
  const char* ops[] = {"toggle_maximize", "is_maximized", "toggle_maximize", "is_maximized",
                       "toggle_maximize"};
  for (size_t i = 0; i < answers.size(); ++i) {
    registry_->dispatch(std::string("plugin:window|") + ops[i], json::object(),
                        [&answers, i](const CommandResult& r) { answers[i] = r; });
  }
  ASSERT_TRUE(run_until([&] {
    for (const auto& a : answers) {
      if (!a) return false;
    }
    return true;
  }));
  std::vector<json> values;
  for (const auto& a : answers) values.push_back(a->ok() ? a->value() : json(a->error()));
  EXPECT_EQ(values, (std::vector<json>{nullptr, true, nullptr, false, nullptr}));
  EXPECT_TRUE(is_zoomed(window_));
  EXPECT_EQ(ok("is_maximized"), true);
}

TEST_F(WindowCommands, MinimizeTitleThemeAndOtherOperations) {
  EXPECT_EQ(ok("minimize"), nullptr);
  EXPECT_TRUE(
      run_until([&] { return (toplevel_state(window_) & GDK_TOPLEVEL_STATE_MINIMIZED) != 0; }));
  gtk_window_present(window_);
  ASSERT_TRUE(
      run_until([&] { return (toplevel_state(window_) & GDK_TOPLEVEL_STATE_MINIMIZED) == 0; }));

  struct TitleCase {
    json args;
    const char* title;  // the window's title afterwards
  };
  const TitleCase titles[] = {
      {{{"title", "Projects \u2014 \u201cdraft\u201d"}}, "Projects \u2014 \u201cdraft\u201d"},
      {{{"value", "Inbox"}}, "Inbox"},  // the 2.x window module's spelling
      {{{"title", "Both"}, {"value", "not used"}}, "Both"},
      {{{"title", 5}, {"value", "not used"}}, "Both"},  // a mistyped title sets nothing
      {{{"value", false}}, "Both"},
      {json::object(), "Both"},
      {{{"title", ""}}, ""},
  };
  for (const TitleCase& c : titles) {
    EXPECT_EQ(ok("set_title", c.args), nullptr) << c.args;
    const char* now = gtk_window_get_title(window_);
    EXPECT_EQ(std::string(now ? now : ""), c.title) << c.args;
  }

  // Without a portal the GTK settings decide.
  std::vector<std::string> changes;
  auto use_gtk_appearance = [&] {
    auto appearance = std::make_shared<platform::GtkAppearance>(
        [&](platform::Theme t) { changes.emplace_back(platform::theme_name(t)); },
        "unix:path=/nonexistent/vessa/bus");
    return std::make_unique<ScopedServices>(
        [&](platform::Services& s) { s.appearance = appearance; });
  };
  struct ThemeCase {
    bool prefer_dark;
    const char* theme;
    const char* answer;
  };
  for (const ThemeCase& c :
       {ThemeCase{false, "Adwaita", "light"}, ThemeCase{true, "Adwaita", "dark"},
        ThemeCase{false, "Adwaita-dark", "dark"}, ThemeCase{false, "Darkly", "light"}}) {
    Appearance appearance(c.prefer_dark, c.theme);
    auto installed = use_gtk_appearance();
    EXPECT_EQ(ok("theme"), c.answer) << c.prefer_dark << " " << c.theme;
  }
  EXPECT_TRUE(changes.empty());
  {
    // A new GTK theme changes the theme once; a choice shows in GTK's dark preference, which
    // the window and WebKit follow.
    Appearance light(false, "Adwaita");
    auto installed = use_gtk_appearance();
    GtkSettings* settings = gtk_settings_get_default();
    auto prefers_dark = [&] {
      gboolean dark = FALSE;
      g_object_get(settings, "gtk-application-prefer-dark-theme", &dark, nullptr);
      return dark != FALSE;
    };
    g_object_set(settings, "gtk-theme-name", "Adwaita-dark", nullptr);
    EXPECT_EQ(ok("theme"), "dark");
    EXPECT_TRUE(prefers_dark());
    EXPECT_EQ(ok("set_theme", {{"value", "light"}}), nullptr);
    EXPECT_FALSE(prefers_dark());
    EXPECT_EQ(ok("theme"), "light");
    EXPECT_EQ(changes, (std::vector<std::string>{"dark", "light"}));
  }

  // Nothing to drag without a pointer press; operations the shell does not have change nothing.
  for (const char* op :
       {"start_dragging", "set_fullscreen", "is_fullscreen", "set_focus", "no_such_operation"}) {
    EXPECT_EQ(ok(op, {{"value", true}, {"theme", "dark"}}), nullptr) << op;
  }
  EXPECT_EQ(toplevel_state(window_) & (GDK_TOPLEVEL_STATE_FULLSCREEN |
                                       GDK_TOPLEVEL_STATE_MAXIMIZED | GDK_TOPLEVEL_STATE_MINIMIZED),
            0);
  EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(window_)));
}

TEST_F(WindowCommands, ClosingEndsTheWindowAndThenEveryCommandAnswersNull) {
  const char* all[] = {"is_maximized",   "maximize", "unmaximize", "toggle_maximize",
                       "set_maximized",  "minimize", "set_title",  "theme",
                       "start_dragging", "close",    "destroy"};
  for (const char* closing : {"close", "destroy"}) {
    if (!window_) window_ = open_window();
    ASSERT_NE(window_, nullptr);
    g_object_add_weak_pointer(G_OBJECT(window_), reinterpret_cast<gpointer*>(&window_));
    EXPECT_EQ(ok(closing), nullptr);
    EXPECT_TRUE(run_until([&] { return window_ == nullptr; })) << closing;
    // The window object outlives its window: the commands find no window.
    ASSERT_NE(platform::services().main_window, nullptr);
    for (const char* op : all) {
      EXPECT_EQ(ok(op, {{"title", "gone"}}), nullptr) << closing << " then " << op;
    }
  }
  // No window object at all.
  platform::update_services([](platform::Services& s) { s.main_window.reset(); });
  for (const char* op : all) EXPECT_EQ(ok(op), nullptr) << op;
}

TEST_F(WindowCommands, ThePageDrivesItsOwnWindow) {
  std::string root = make_temp_dir("vessa-window-page-");
  write_file(root + "/index.html", "<!doctype html><title>window</title>");
  Appearance light(false, "Adwaita");
  {
    HostedPage page(root);
    ASSERT_TRUE(page.wait_loads(1));
    GtkWindow* window = GTK_WINDOW(gtk_widget_get_root(GTK_WIDGET(page.view())));
    ASSERT_TRUE(run_until([&] { return gtk_window_is_active(window) != FALSE; }));
    install(window);
    auto answers = page.call(R"JS(
      const t = window.__TAURI_INTERNALS__;
      const r = [];
      r.push(await t.invoke('plugin:window|set_title', { value: 'From the page' }));
      r.push(await t.invoke('plugin:window|toggle_maximize', {}));
      r.push(await t.invoke('plugin:window|is_maximized', {}));
      r.push(await t.invoke('plugin:window|theme', {}));
      r.push(await t.invoke('plugin:window|set_maximized', { value: false }));
      r.push(await t.invoke('plugin:window|is_maximized', {}));
      return r;)JS");
    EXPECT_EQ(answers, R"([null,null,true,"light",null,false])");
    EXPECT_STREQ(gtk_window_get_title(window), "From the page");
    EXPECT_FALSE(is_zoomed(window));
    platform::update_services([](platform::Services& s) { s.main_window.reset(); });
  }
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace vessa::testing
