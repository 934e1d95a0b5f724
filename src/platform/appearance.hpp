// The app's light or dark appearance: what the desktop asks for, what the page chose, and how
// the two combine.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vessa::platform {

enum class Theme { kLight, kDark };

/// The desktop's colour-scheme preference, as the settings portal states it.
enum class ColorScheme { kNoPreference, kPreferDark, kPreferLight };

/// "light" or "dark", the page's names.
const char* theme_name(Theme theme);
/// The page's names back; nullopt for anything else.
std::optional<Theme> theme_from_name(std::string_view name);

/// What the GTK settings say about dark, for desktops without a colour-scheme portal.
struct GtkThemeFacts {
  bool prefer_dark = false;  // gtk-application-prefer-dark-theme as the desktop set it
  std::string theme_name;    // gtk-theme-name
  std::string theme_env;     // $GTK_THEME ("Adwaita:dark" asks for the dark variant)
};

/// The theme the app shows: the page's choice when it made one; else the portal's preference;
/// else (no portal, or no preference) dark when the GTK settings ask for it.
Theme effective_theme(std::optional<Theme> choice, std::optional<ColorScheme> desktop,
                      const GtkThemeFacts& gtk);

/// The app-wide appearance the window commands read and set. Main thread only.
class Appearance {
 public:
  virtual ~Appearance() = default;
  /// Calls `then` with the theme shown, once the desktop's preference has been read or given up
  /// on: at start-up that is a short wait, afterwards at once. Always called exactly once.
  virtual void read_theme(std::function<void(Theme)> then) = 0;
  /// An explicit theme overrides the desktop's; nullopt follows the desktop again. Not kept
  /// across launches.
  virtual void choose(std::optional<Theme> choice) = 0;
};

}  // namespace vessa::platform
