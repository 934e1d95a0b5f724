// Window plug-in commands on the main window, the application's show and hide, the page's part
// in closing the window, and the window-state plug-in.
#include <glib.h>

#include <cmath>
#include <memory>
#include <optional>
#include <string_view>

#include "commands/command_registry.hpp"
#include "commands/families.hpp"
#include "commands/window_state.hpp"
#include "platform/services.hpp"
#include "support/dispatch.hpp"
#include "support/log.hpp"

namespace vessa::commands {
namespace {

constexpr std::string_view kWindowPrefix = "plugin:window|";
constexpr std::string_view kWindowStatePrefix = "plugin:window-state|";
constexpr const char* kCloseRequested = "tauri://close-requested";
// How long a page that listens for close requests has to show it received one.
constexpr guint kCloseAnswerMs = 3000;
// Larger than any screen: a bigger size is a mistake, not a request.
constexpr double kMaxExtent = 1 << 15;

using platform::MainWindow;
using platform::PixelPoint;
using platform::PixelSize;

// The page's part in closing the window. Main thread only.
//
// The page's listeners live in the page; the IPC script tells when the first close-requested
// listener comes and the last one goes ("internal_close_listened"), and after it delivered a
// close request, to how many listeners ("internal_close_delivered"). The package's
// onCloseRequested then destroys the window unless the page prevented it.
struct CloseGate {
  bool page_listens = false;
  bool asked = false;  // a request is on its way and the page has not confirmed it yet
  guint deadline = 0;
  std::weak_ptr<AppContext> app;
};

CloseGate& close_gate() {
  static CloseGate gate;
  return gate;
}

void stop_waiting() {
  CloseGate& gate = close_gate();
  gate.asked = false;
  if (gate.deadline != 0) {
    g_source_remove(gate.deadline);
    gate.deadline = 0;
  }
}

void close_for_good() {
  stop_waiting();
  if (auto window = FamilyContext::services().main_window) window->destroy();
}

gboolean on_close_deadline(gpointer /*data*/) noexcept {
  close_gate().deadline = 0;
  vessa::log("the page did not take the close request in time: closing the window");
  close_for_good();
  return G_SOURCE_REMOVE;
}

// The window's close-request handler while the page listens: true keeps the window open.
bool hold_close() {
  CloseGate& gate = close_gate();
  auto app = gate.app.lock();
  if (!gate.page_listens || !app) return false;
  if (gate.asked) return true;
  gate.asked = true;
  // The user must never be unable to close: a page that does not confirm the request within
  // kCloseAnswerMs (hung, crashed, gone elsewhere) has the window closed anyway. A page that
  // confirmed and prevented the close keeps it open; Quit still ends the application.
  gate.deadline = g_timeout_add(kCloseAnswerMs, &on_close_deadline, nullptr);
  app->emit(kCloseRequested, nullptr);
  return true;
}

void set_page_listens(MainWindow& w, bool listens, std::weak_ptr<AppContext> app) {
  CloseGate& gate = close_gate();
  gate.page_listens = listens;
  gate.app = std::move(app);
  w.set_close_request_handler(listens ? std::function<bool()>(&hold_close) : nullptr);
}

void close_delivered(MainWindow& w, double listeners) {
  CloseGate& gate = close_gate();
  if (!gate.asked) return;  // late, or not asked for
  stop_waiting();
  if (listeners < 1) {
    // The page that claimed a listener has none now (a new page load, say): close as usual.
    set_page_listens(w, false, {});
    close_for_good();
  }
}

// {"Physical": {width, height}} or {"Logical": {...}} in physical pixels.
std::optional<PixelSize> size_value(const json& value, double scale) {
  if (!value.is_object() || value.size() != 1) return std::nullopt;
  bool physical = value.contains("Physical");
  if (!physical && !value.contains("Logical")) return std::nullopt;
  const json& size = value.begin().value();
  auto width = number_arg(size, "width");
  auto height = number_arg(size, "height");
  double factor = physical ? 1.0 : scale;
  if (!width || !height) return std::nullopt;
  double w = *width * factor;
  double h = *height * factor;
  if (!std::isfinite(w) || !std::isfinite(h) || w < 1 || h < 1 || w > kMaxExtent ||
      h > kMaxExtent) {
    return std::nullopt;
  }
  return PixelSize{static_cast<int>(std::lround(w)), static_cast<int>(std::lround(h))};
}

// The argument `value` as sent (null when absent).
json value_arg(const json& args) {
  auto it = args.find("value");
  return it == args.end() ? json() : *it;
}

json size_json(PixelSize s) { return {{"width", s.width}, {"height", s.height}}; }

// Wayland never tells a window where it is: the origin stands in, as the package's
// PhysicalPosition needs numbers.
json position_json(std::optional<PixelPoint> p) {
  PixelPoint at = p.value_or(PixelPoint{});
  return {{"x", at.x}, {"y", at.y}};
}

CommandResult bool_setter(const std::string& op, const json& args,
                          const std::function<void(bool)>& set) {
  auto value = bool_arg(args, "value");
  if (!value) return CommandResult::failure(op + ": missing value");
  set(*value);
  return CommandResult::success();
}

CommandResult window_command(MainWindow& w, const std::string& op, const json& args,
                             const std::weak_ptr<AppContext>& app) {
  if (op == "start_dragging") {
    w.start_dragging();
  } else if (op == "is_maximized") {
    return CommandResult::success(w.is_maximized());
  } else if (op == "maximize" || op == "internal_toggle_maximize") {
    if (!w.is_maximized()) w.maximize();
  } else if (op == "unmaximize") {
    if (w.is_maximized()) w.unmaximize();
  } else if (op == "toggle_maximize") {
    // The 2.x window module's toggle: flips the zoom either way.
    if (w.is_maximized()) {
      w.unmaximize();
    } else {
      w.maximize();
    }
  } else if (op == "set_maximized") {
    auto value = bool_arg(args, "value");
    bool zoomed = w.is_maximized();
    if (!value) {
      if (!zoomed) w.maximize();
    } else if (*value != zoomed) {
      if (zoomed) {
        w.unmaximize();
      } else {
        w.maximize();
      }
    }
  } else if (op == "minimize") {
    w.minimize();
  } else if (op == "close") {
    // Asked while a close request waits for the page: the page's own answer, so it closes.
    if (close_gate().asked) {
      close_for_good();
    } else {
      w.close();
    }
  } else if (op == "destroy") {
    close_for_good();
  } else if (op == "set_title") {
    // The 2.x window module sends the title as `value`.
    std::optional<std::string> title =
        has_arg(args, "title") ? string_arg(args, "title") : string_arg(args, "value");
    if (title) w.set_title(*title);
  } else if (op == "inner_size") {
    return CommandResult::success(size_json(w.inner_size()));
  } else if (op == "outer_size") {
    return CommandResult::success(size_json(w.outer_size()));
  } else if (op == "inner_position") {
    return CommandResult::success(position_json(w.inner_position()));
  } else if (op == "outer_position") {
    return CommandResult::success(position_json(w.outer_position()));
  } else if (op == "scale_factor") {
    return CommandResult::success(w.scale_factor());
  } else if (op == "is_visible") {
    return CommandResult::success(w.is_visible());
  } else if (op == "is_focused") {
    return CommandResult::success(w.is_focused());
  } else if (op == "is_fullscreen") {
    return CommandResult::success(w.is_fullscreen());
  } else if (op == "is_minimized") {
    return CommandResult::success(w.is_minimized());
  } else if (op == "is_resizable") {
    return CommandResult::success(w.is_resizable());
  } else if (op == "is_decorated") {
    return CommandResult::success(w.is_decorated());
  } else if (op == "title") {
    return CommandResult::success(w.title());
  } else if (op == "set_size") {
    auto size = size_value(value_arg(args), w.scale_factor());
    if (!size) return CommandResult::failure("set_size: invalid size");
    w.set_inner_size(*size);
  } else if (op == "set_min_size" || op == "set_max_size") {
    const json value = value_arg(args);
    auto size = size_value(value, w.scale_factor());
    if (!value.is_null() && !size) return CommandResult::failure(op + ": invalid size");
    // GTK 4 has no largest size for a window: the maximum is accepted and not enforced.
    if (op == "set_min_size") w.set_min_inner_size(size);
  } else if (op == "set_fullscreen") {
    return bool_setter(op, args, [&](bool on) { w.set_fullscreen(on); });
  } else if (op == "set_resizable") {
    return bool_setter(op, args, [&](bool on) { w.set_resizable(on); });
  } else if (op == "set_decorations") {
    return bool_setter(op, args, [&](bool on) { w.set_decorated(on); });
  } else if (op == "set_focus" || op == "unminimize") {
    w.focus();
  } else if (op == "show") {
    w.show();
  } else if (op == "hide") {
    w.hide();
  } else if (op == "center") {
    w.center();
  } else if (op == "request_user_attention") {
    // {type: "Critical" | "Informational"} asks; null takes the request back.
    w.request_attention(value_arg(args).is_object());
  } else if (op == "internal_close_listened") {
    set_page_listens(w, bool_arg(args, "value").value_or(false), app);
  } else if (op == "internal_close_delivered") {
    close_delivered(w, number_arg(args, "listeners").value_or(0));
  }
  // set_always_on_top and the rest: GTK 4 has no call for them.
  return CommandResult::success();
}

// "light" or "dark" overrides the desktop's theme for the whole app; null (or no value) follows
// the desktop again.
CommandResult choose_theme(const std::string& cmd, const json& args, const char* key) {
  std::optional<platform::Theme> choice;
  if (has_arg(args, key) && !args.at(key).is_null()) {
    if (auto name = string_arg(args, key)) choice = platform::theme_from_name(*name);
    if (!choice) return CommandResult::failure(cmd + R"(: theme must be "light", "dark" or null)");
  }
  if (auto appearance = FamilyContext::services().appearance) appearance->choose(choice);
  return CommandResult::success();
}

// The theme is the app's rather than the window's: these go to the appearance.
void window_theme_command(const std::string& op, const json& args, const Completion& done) {
  if (op == "set_theme") {
    done(choose_theme(std::string(kWindowPrefix) + op, args, "value"));
    return;
  }
  auto appearance = FamilyContext::services().appearance;
  if (!appearance) {
    done(CommandResult::success(platform::theme_name(platform::Theme::kLight)));
    return;
  }
  appearance->read_theme(
      [done](platform::Theme theme) { done(CommandResult::success(platform::theme_name(theme))); });
}

bool changes_zoom(std::string_view op) {
  return op == "maximize" || op == "internal_toggle_maximize" || op == "unmaximize" ||
         op == "toggle_maximize" || op == "set_maximized";
}

// The plug-in's StateFlags; absent or unreadable flags mean all of them.
unsigned state_flags(const json& args) {
  auto flags = number_arg(args, "flags");
  if (!flags || *flags < 0 || *flags > 0xffff) return window_state::kAll;
  return static_cast<unsigned>(*flags) & window_state::kAll;
}

CommandResult window_state_command(MainWindow& w, const std::string& op, const json& args) {
  if (op == "save_window_state") {
    auto saved = window_state::save(w, state_flags(args));
    if (!saved) return CommandResult::failure("save_window_state: " + saved.error());
  } else if (op == "restore_state") {
    // This shell has one window, "main".
    auto label = string_arg(args, "label");
    if (!label || *label == "main") window_state::restore(w, state_flags(args));
  }
  return CommandResult::success();
}

}  // namespace

bool handleWindow(FamilyContext& ctx, const std::string& cmd, const json& args,
                  const Completion& done) {
  // The preview window belongs to the platform family.
  if (cmd == "plugin:window|preview_open") return false;
  if (cmd == "plugin:window-state|filename") {
    done(CommandResult::success(window_state::kFileName));
    return true;
  }
  enum class Kind { kWindow, kApp, kState };
  Kind kind = Kind::kWindow;
  std::string op;
  if (cmd.starts_with(kWindowPrefix)) {
    op = cmd.substr(kWindowPrefix.size());
  } else if (cmd == "plugin:app|set_app_theme") {
    // The appearance belongs to the main thread, as the window does.
    dispatch::main_async([cmd, args, done] { done(choose_theme(cmd, args, "theme")); });
    return true;
  } else if (cmd == "plugin:app|app_show" || cmd == "plugin:app|app_hide") {
    kind = Kind::kApp;
    op = cmd == "plugin:app|app_show" ? "show" : "hide";
  } else if (cmd.starts_with(kWindowStatePrefix)) {
    kind = Kind::kState;
    op = cmd.substr(kWindowStatePrefix.size());
  } else {
    return false;
  }
  dispatch::main_async([kind, op, args, done, app = std::weak_ptr<AppContext>(ctx.app())] {
    auto window = FamilyContext::services().main_window;
    if (!window || !window->exists()) {
      done(CommandResult::success());
      return;
    }
    if (kind == Kind::kWindow && (op == "theme" || op == "set_theme")) {
      window_theme_command(op, args, done);
      return;
    }
    CommandResult result = kind == Kind::kState ? window_state_command(*window, op, args)
                                                : window_command(*window, op, args, app);
    if (kind == Kind::kWindow && changes_zoom(op)) {
      // Answer once the window manager has applied it, as a zoom is done when it returns.
      window->when_settled([done, result] { done(result); });
    } else {
      done(std::move(result));
    }
  });
  return true;
}

}  // namespace vessa::commands
