// The app's light or dark appearance: the page's theme names and the theme shown.
#include "platform/appearance.hpp"

#include <glib.h>

namespace vessa::platform {
namespace {

// Theme names such as "Adwaita-dark", "Foo-Dark" or GTK_THEME's "Adwaita:dark".
bool names_dark_variant(std::string_view name) {
  if (name.size() < 5) return false;
  std::string_view tail = name.substr(name.size() - 5);
  return (tail[0] == '-' || tail[0] == ':') && g_ascii_strncasecmp(tail.data() + 1, "dark", 4) == 0;
}

}  // namespace

const char* theme_name(Theme theme) { return theme == Theme::kDark ? "dark" : "light"; }

std::optional<Theme> theme_from_name(std::string_view name) {
  if (name == "dark") return Theme::kDark;
  if (name == "light") return Theme::kLight;
  return std::nullopt;
}

Theme effective_theme(std::optional<Theme> choice, std::optional<ColorScheme> desktop,
                      const GtkThemeFacts& gtk) {
  if (choice) return *choice;
  if (desktop == ColorScheme::kPreferDark) return Theme::kDark;
  if (desktop == ColorScheme::kPreferLight) return Theme::kLight;
  const bool dark =
      gtk.prefer_dark || names_dark_variant(gtk.theme_name) || names_dark_variant(gtk.theme_env);
  return dark ? Theme::kDark : Theme::kLight;
}

}  // namespace vessa::platform
