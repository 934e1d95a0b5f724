// The page's window commands on a real GTK window managed by a real window manager: what each
// command answers, and the state the window then has.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/web_host_support.hpp"
#include "fixtures/cli_fakes.hpp"
#include "platform/gtk/appearance_gtk.hpp"
#include "platform/gtk/main_window_gtk.hpp"

namespace vessa::testing {

using commands::CommandRegistry;
using commands::CommandResult;

namespace {

constexpr int kWidth = 420;
constexpr int kHeight = 300;

// Whether the window's surface is in any of the states `flags`.
bool in_state(GtkWindow* window, int flags) {
  GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window));
  return surface && (gdk_toplevel_get_state(GDK_TOPLEVEL(surface)) & flags) != 0;
}

bool is_zoomed(GtkWindow* window) { return gtk_window_is_maximized(window) != FALSE; }

class WindowCommands : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gtk_init();
    wm_ = std::make_unique<WindowManager>();
  }
  static void TearDownTestSuite() { wm_.reset(); }

  void SetUp() override {
    g_object_get(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", &prefer_dark_,
                 "gtk-theme-name", &theme_, nullptr);
    ASSERT_EQ(wm_->error(), "");
    window_ = open_window();
    ASSERT_NE(window_, nullptr);
  }

  void TearDown() override {
    platform::update_services([](platform::Services& s) { s.main_window.reset(); });
    if (window_) gtk_window_destroy(window_);
    run_until([] { return false; }, 50ms);
    set_appearance(prefer_dark_, theme_);
    g_free(theme_);
  }

  // GTK's appearance settings; the test's first ones come back when it ends.
  static void set_appearance(gboolean prefer_dark, const char* theme) {
    g_object_set(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", prefer_dark,
                 "gtk-theme-name", theme, nullptr);
  }

  // A shown window that the window manager has taken (and focused), installed as the main one.
  // With `content`, it has a header bar and a child below it, as the application's has.
  GtkWindow* open_window(bool content = false) {
    GtkWindow* window = GTK_WINDOW(gtk_window_new());
    gtk_window_set_title(window, "Vessa");
    gtk_window_set_default_size(window, kWidth, kHeight);
    if (content) {
      gtk_window_set_titlebar(window, gtk_header_bar_new());
      gtk_window_set_child(window, gtk_box_new(GTK_ORIENTATION_VERTICAL, 0));
    }
    gtk_window_present(window);
    if (!run_until([&] { return gtk_window_is_active(window) != FALSE; })) {
      gtk_window_destroy(window);
      return nullptr;
    }
    install(window);
    return window;
  }

  void install(GtkWindow* window) {
    auto main_window = std::make_shared<platform::GtkMainWindow>(
        window, [this](const std::string& event, const json& payload) {
          events_.emplace_back(event, payload);
        });
    platform::update_services([&](platform::Services& s) { s.main_window = main_window; });
  }

  json ok(const std::string& op, const json& args = json::object()) {
    CommandResult r = dispatch_and_wait(*registry_, "plugin:window|" + op, args);
    EXPECT_TRUE(r.ok()) << op << ": " << r.error();
    return r.value();
  }

  std::string fails(const std::string& op, const json& args) {
    CommandResult r = dispatch_and_wait(*registry_, "plugin:window|" + op, args);
    EXPECT_FALSE(r.ok()) << op << " " << args;
    return r.ok() ? "" : r.error();
  }

  bool got_event(const std::string& event, const json& payload) {
    return std::find(events_.begin(), events_.end(), std::make_pair(event, payload)) !=
           events_.end();
  }

  static inline std::unique_ptr<WindowManager> wm_;
  gboolean prefer_dark_ = FALSE;
  gchar* theme_ = nullptr;
  TempHome home_;
  std::shared_ptr<CommandRegistry> registry_ =
      std::make_shared<CommandRegistry>(std::weak_ptr<commands::AppContext>());
  GtkWindow* window_ = nullptr;
  std::vector<std::pair<std::string, json>> events_;
};

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
      {"set_maximized", {{"value", false}}, false},
      {"set_maximized", {{"value", true}}, true},
      {"unmaximize", json::object(), false},
  };
  for (const Step& s : steps) {
    std::string what = std::string(s.op) + " " + s.args.dump();
    EXPECT_EQ(ok(s.op, s.args), nullptr) << what;
    // The answer comes after the window manager has applied it, not at the request.
    EXPECT_EQ(is_zoomed(window_), s.zoomed) << what;
    EXPECT_EQ(in_state(window_, GDK_TOPLEVEL_STATE_MAXIMIZED), s.zoomed) << what;
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
    return std::all_of(answers.begin(), answers.end(), [](const auto& a) { return a.has_value(); });
  }));
  std::vector<json> values;
  for (const auto& a : answers) values.push_back(a->ok() ? a->value() : json(a->error()));
  EXPECT_EQ(values, (std::vector<json>{nullptr, true, nullptr, false, nullptr}));
  EXPECT_TRUE(is_zoomed(window_));
  EXPECT_EQ(ok("is_maximized"), true);
}

TEST_F(WindowCommands, MinimizeTitleThemeAndOtherOperations) {
  EXPECT_EQ(ok("minimize"), nullptr);
  EXPECT_TRUE(run_until([&] { return in_state(window_, GDK_TOPLEVEL_STATE_MINIMIZED); }));
  EXPECT_EQ(ok("is_minimized"), true);
  gtk_window_present(window_);
  ASSERT_TRUE(run_until([&] { return !in_state(window_, GDK_TOPLEVEL_STATE_MINIMIZED); }));

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
      {{{"title", ""}}, ""},
  };
  for (const TitleCase& c : titles) {
    EXPECT_EQ(ok("set_title", c.args), nullptr) << c.args;
    const char* now = gtk_window_get_title(window_);
    EXPECT_EQ(std::string(now ? now : ""), c.title) << c.args;
    EXPECT_EQ(ok("title"), c.title) << c.args;
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
    set_appearance(c.prefer_dark, c.theme);
    auto installed = use_gtk_appearance();
    EXPECT_EQ(ok("theme"), c.answer) << c.prefer_dark << " " << c.theme;
  }
  EXPECT_TRUE(changes.empty());
  // A new GTK theme changes the theme once; a choice shows in GTK's dark preference, which
  // the window and WebKit follow.
  set_appearance(false, "Adwaita");
  auto installed = use_gtk_appearance();
  auto prefers_dark = [] {
    gboolean dark = FALSE;
    g_object_get(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", &dark, nullptr);
    return dark != FALSE;
  };
  g_object_set(gtk_settings_get_default(), "gtk-theme-name", "Adwaita-dark", nullptr);
  EXPECT_EQ(ok("theme"), "dark");
  EXPECT_TRUE(prefers_dark());
  EXPECT_EQ(ok("set_theme", {{"value", "light"}}), nullptr);
  EXPECT_FALSE(prefers_dark());
  EXPECT_EQ(ok("theme"), "light");
  EXPECT_EQ(changes, (std::vector<std::string>{"dark", "light"}));

  // Nothing to drag without a pointer press; operations the shell does not have change nothing.
  for (const char* op :
       {"start_dragging", "set_always_on_top", "set_position", "no_such_operation"}) {
    EXPECT_EQ(ok(op, {{"value", true}, {"theme", "dark"}}), nullptr) << op;
  }
  EXPECT_FALSE(in_state(window_, GDK_TOPLEVEL_STATE_FULLSCREEN | GDK_TOPLEVEL_STATE_MAXIMIZED |
                                     GDK_TOPLEVEL_STATE_MINIMIZED));
  EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(window_)));
}

TEST_F(WindowCommands, ClosingEndsTheWindowAndThenEveryCommandAnswersNull) {
  const char* all[] = {"is_maximized",   "maximize",   "unmaximize", "toggle_maximize",
                       "set_maximized",  "minimize",   "set_title",  "theme",
                       "start_dragging", "inner_size", "set_size",   "show",
                       "hide",           "close",      "destroy"};
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

TEST_F(WindowCommands, GettersAndSettersRoundTripAndTheResizeEvent) {
  gtk_window_destroy(window_);
  window_ = open_window(true);
  ASSERT_NE(window_, nullptr);
  GtkWidget* child = gtk_window_get_child(window_);
  auto size_of = [](GtkWidget* w) {
    return json{{"width", gtk_widget_get_width(w)}, {"height", gtk_widget_get_height(w)}};
  };
  ASSERT_TRUE(run_until([&] {
    return gtk_widget_get_height(GTK_WIDGET(window_)) > gtk_widget_get_height(child);
  })) << "the header bar never took its place";
  // Xvfb runs at scale 1: physical and logical pixels agree.
  EXPECT_EQ(ok("scale_factor"), 1.0);
  EXPECT_EQ(ok("outer_size"), size_of(GTK_WIDGET(window_)));
  // The inner size is the content below the header bar.
  const json inner = ok("inner_size");
  EXPECT_EQ(inner, size_of(child));
  const int bar = ok("outer_size")["height"].get<int>() - inner["height"].get<int>();
  EXPECT_GT(bar, 0);

  struct SizeCase {
    json value;
    json inner;  // afterwards
  };
  const SizeCase sizes[] = {
      {{{"Physical", {{"width", 500}, {"height", 350}}}}, {{"width", 500}, {"height", 350}}},
      {{{"Logical", {{"width", 460.4}, {"height", 330}}}}, {{"width", 460}, {"height", 330}}},
  };
  for (const SizeCase& c : sizes) {
    events_.clear();
    EXPECT_EQ(ok("set_size", {{"value", c.value}}), nullptr) << c.value;
    EXPECT_TRUE(run_until([&] { return size_of(child) == c.inner; })) << c.value;
    EXPECT_EQ(ok("inner_size"), c.inner) << c.value;
    EXPECT_TRUE(run_until([&] { return got_event("tauri://resize", c.inner); }))
        << c.value << " " << json(events_).dump();
  }
  for (const json& bad :
       {json("big"), json{{"Physical", {{"width", -1}, {"height", 5}}}},
        json{{"Physical", {{"width", 1e9}, {"height", 5}}}}, json{{"Inches", {{"width", 5}}}},
        json{{"Physical", {{"width", "5"}, {"height", 5}}}}}) {
    EXPECT_EQ(fails("set_size", {{"value", bad}}), "set_size: invalid size") << bad;
  }
  EXPECT_EQ(fails("set_max_size", {{"value", "big"}}), "set_max_size: invalid size");
  EXPECT_EQ(ok("set_max_size", {{"value", {{"Physical", {{"width", 900}, {"height", 900}}}}}}),
            nullptr);
  EXPECT_EQ(ok("inner_size"), sizes[1].inner);

  // The smallest size counts for the content: the window's own request adds the header bar.
  int min_w = 0;
  int min_h = 0;
  ok("set_min_size", {{"value", {{"Physical", {{"width", 300}, {"height", 200}}}}}});
  gtk_widget_get_size_request(GTK_WIDGET(window_), &min_w, &min_h);
  EXPECT_EQ(std::make_pair(min_w, min_h), std::make_pair(300, 200 + bar));
  ok("set_min_size", {{"value", nullptr}});
  gtk_widget_get_size_request(GTK_WIDGET(window_), &min_w, &min_h);
  EXPECT_EQ(std::make_pair(min_w, min_h), std::make_pair(-1, -1));

  // Each setter, and what its getter and GTK say afterwards (window managers apply some later).
  struct Flag {
    const char* setter;
    const char* getter;
    gboolean (*gtk)(GtkWindow*);
  };
  const Flag flags[] = {
      {"set_resizable", "is_resizable", gtk_window_get_resizable},
      {"set_decorations", "is_decorated", gtk_window_get_decorated},
      {"set_fullscreen", "is_fullscreen", gtk_window_is_fullscreen},
  };
  for (const Flag& f : flags) {
    bool start = f.gtk(window_) != FALSE;
    for (bool value : {!start, start}) {
      EXPECT_EQ(ok(f.setter, {{"value", value}}), nullptr) << f.setter << " " << value;
      EXPECT_TRUE(run_until([&] { return (f.gtk(window_) != FALSE) == value; })) << f.setter;
      EXPECT_EQ(ok(f.getter), value) << f.getter;
    }
    // A value that is not a boolean changes nothing.
    EXPECT_EQ(fails(f.setter, {{"value", "yes"}}), std::string(f.setter) + ": missing value");
    EXPECT_EQ(ok(f.getter), start) << f.getter;
  }

  EXPECT_EQ(ok("hide"), nullptr);
  EXPECT_EQ(ok("is_visible"), false);
  EXPECT_EQ(ok("show"), nullptr);
  EXPECT_EQ(ok("is_visible"), true);
  ASSERT_TRUE(run_until([&] { return gtk_window_is_active(window_) != FALSE; }));
  // Another window takes the focus; set_focus brings it back.
  events_.clear();
  GtkWindow* other = GTK_WINDOW(gtk_window_new());
  gtk_window_present(other);
  EXPECT_TRUE(run_until([&] { return got_event("tauri://blur", nullptr); }));
  EXPECT_EQ(ok("is_focused"), false);
  EXPECT_EQ(ok("set_focus"), nullptr);
  EXPECT_TRUE(run_until([&] { return got_event("tauri://focus", nullptr); }));
  EXPECT_EQ(ok("is_focused"), true);
  gtk_window_destroy(other);
  // The app module's hide and show act on the main window.
  for (const char* cmd : {"plugin:app|app_hide", "plugin:app|app_show"}) {
    EXPECT_EQ(dispatch_and_wait(*registry_, cmd, json::object()).value(), nullptr) << cmd;
    EXPECT_EQ(ok("is_visible"), std::string(cmd).ends_with("show")) << cmd;
  }

  // X11 tells positions: the content sits the header bar's height below the window's corner.
  // After a show the window manager may still be placing the window: read once it stands still.
  json at;  // the outer and the inner position
  run_until([&] {
    const json before = at;
    at = {ok("outer_position"), ok("inner_position")};
    return at == before;
  });
  EXPECT_EQ(at[1]["x"], at[0]["x"]);
  EXPECT_EQ(at[1]["y"].get<int>() - at[0]["y"].get<int>(), bar);
}

TEST_F(WindowCommands, AListeningPageDecidesTheCloseButNeverForever) {
  PageFolder root("<!doctype html><title>close</title>");
  HostedPage page(root.path());
  ASSERT_TRUE(page.wait_loads(1));
  GtkWindow* window = page.window();
  ASSERT_TRUE(run_until([&] { return gtk_window_is_active(window) != FALSE; }));
  install(window);
  // A listener that never destroys the window: the package's onCloseRequested with
  // preventDefault.
  EXPECT_EQ(page.call(R"JS(
      const t = window.__TAURI_INTERNALS__;
      window.asked = 0;
      await t.invoke('plugin:event|listen', {
        event: 'tauri://close-requested', target: { kind: 'Any' },
        handler: t.transformCallback(() => { window.asked++; }) });
      return await t.invoke('plugin:window|is_visible', {});)JS"),
            "true");
  gtk_window_close(window);
  EXPECT_TRUE(run_until([&] { return page.call("return window.asked;") == "1"; }));
  // Past the deadline: the page confirmed the request, so the window stays.
  run_until([] { return false; }, 3500ms);
  ASSERT_NE(page.window(), nullptr);

  // A page that no longer confirms anything (hung, say) has the window closed after a while.
  page.call("window.__VESSA_EMIT = () => {}; return 0;");
  const auto asked_at = std::chrono::steady_clock::now();
  gtk_window_close(window);
  run_until([] { return false; }, 1000ms);
  EXPECT_NE(page.window(), nullptr) << "closed before the page had a chance";
  EXPECT_TRUE(run_until([&] { return page.window() == nullptr; }, 5s));
  EXPECT_GE(std::chrono::steady_clock::now() - asked_at, 2900ms);
  platform::update_services([](platform::Services& s) { s.main_window.reset(); });
}

}  // namespace
}  // namespace vessa::testing
