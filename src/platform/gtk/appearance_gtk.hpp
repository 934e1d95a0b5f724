// The app's appearance on GTK: follows the desktop's colour scheme (settings portal, else the
// GTK theme) unless the page chose a theme, and shows it through GtkSettings, which the window
// chrome and WebKit's prefers-color-scheme both follow.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/appearance.hpp"
#include "platform/appearance_portal.hpp"
#include "support/glib_ptr.hpp"

namespace vessa::platform {

/// Main thread only; needs GTK initialised. Sets gtk-application-prefer-dark-theme on the
/// default GtkSettings to the theme shown.
class GtkAppearance : public Appearance {
 public:
  /// Called with the new theme each time the theme shown changes, whatever the cause.
  using Changed = std::function<void(Theme)>;
  /// How long read_theme waits at start-up for the portal before it answers from the GTK theme.
  /// A later answer from the portal still counts (as a change).
  static constexpr guint kKnownWithinMs = 1000;

  /// Starts reading the portal on `portal_address` ("" is the session bus).
  explicit GtkAppearance(Changed changed, std::string portal_address = {});
  /// Answers any read_theme still waiting.
  ~GtkAppearance() override;
  GtkAppearance(const GtkAppearance&) = delete;
  GtkAppearance& operator=(const GtkAppearance&) = delete;

  void read_theme(std::function<void(Theme)> then) override;
  void choose(std::optional<Theme> choice) override;

 private:
  void on_desktop(std::optional<ColorScheme> scheme);
  // Shows the theme the inputs now give; reports it when it differs from the one shown.
  void update();
  void mark_known();
  static void on_theme_name(GObject* settings, GParamSpec* pspec, gpointer self) noexcept;
  static gboolean on_known_deadline(gpointer self) noexcept;

  Changed changed_;
  GtkSettings* settings_;
  GtkThemeFacts gtk_;
  std::optional<ColorScheme> desktop_;
  std::optional<Theme> choice_;
  Theme shown_ = Theme::kLight;
  bool known_ = false;
  guint known_deadline_ = 0;
  std::vector<std::function<void(Theme)>> waiting_;
  SignalConnection theme_name_changed_;
  std::unique_ptr<PortalColorScheme> portal_;  // last: stops calling back before the rest goes
};

}  // namespace vessa::platform
