// The app's appearance on GTK: the desktop's colour scheme or the page's choice, shown through
// GtkSettings.
#include "platform/gtk/appearance_gtk.hpp"

#include <cstdlib>

#include "support/callback_guard.hpp"
#include "support/glib_ptr.hpp"
#include "support/main_thread.hpp"

namespace vessa::platform {
namespace {

std::string theme_name_of(GtkSettings* settings) {
  gchar* raw = nullptr;
  g_object_get(settings, "gtk-theme-name", &raw, nullptr);
  GCharPtr name(raw);
  return name != nullptr ? name.get() : "";
}

}  // namespace

GtkAppearance::GtkAppearance(Changed changed, std::string portal_address)
    : changed_(std::move(changed)), settings_(gtk_settings_get_default()) {
  assert_main_thread();
  const char* env = std::getenv("GTK_THEME");
  gtk_.theme_env = env != nullptr ? env : "";
  if (settings_ != nullptr) {
    // The desktop's own value (settings.ini), read before this object starts setting it.
    gboolean prefer_dark = FALSE;
    g_object_get(settings_, "gtk-application-prefer-dark-theme", &prefer_dark, nullptr);
    gtk_.prefer_dark = prefer_dark != FALSE;
    gtk_.theme_name = theme_name_of(settings_);
    theme_name_changed_ =
        connect(settings_, "notify::gtk-theme-name", &GtkAppearance::on_theme_name, this);
  }
  shown_ = effective_theme(choice_, desktop_, gtk_);
  update();
  known_deadline_ = g_timeout_add(kKnownWithinMs, &GtkAppearance::on_known_deadline, this);
  portal_ = std::make_unique<PortalColorScheme>(
      [this](std::optional<ColorScheme> scheme) { on_desktop(scheme); }, std::move(portal_address));
}

GtkAppearance::~GtkAppearance() {
  portal_.reset();
  theme_name_changed_.disconnect();
  mark_known();
}

void GtkAppearance::read_theme(std::function<void(Theme)> then) {
  assert_main_thread();
  if (known_) {
    then(shown_);
  } else {
    waiting_.push_back(std::move(then));
  }
}

void GtkAppearance::choose(std::optional<Theme> choice) {
  assert_main_thread();
  choice_ = choice;
  update();
}

void GtkAppearance::on_desktop(std::optional<ColorScheme> scheme) {
  desktop_ = scheme;
  update();
  mark_known();
}

void GtkAppearance::update() {
  const Theme next = effective_theme(choice_, desktop_, gtk_);
  if (settings_ != nullptr) {
    gboolean dark_now = FALSE;
    g_object_get(settings_, "gtk-application-prefer-dark-theme", &dark_now, nullptr);
    const gboolean dark = next == Theme::kDark ? TRUE : FALSE;
    if (dark_now != dark) {
      g_object_set(settings_, "gtk-application-prefer-dark-theme", dark, nullptr);
    }
  }
  if (next == shown_) return;
  shown_ = next;
  if (changed_) changed_(next);
}

void GtkAppearance::mark_known() {
  if (known_deadline_ != 0) {
    g_source_remove(known_deadline_);
    known_deadline_ = 0;
  }
  known_ = true;
  auto waiting = std::move(waiting_);
  waiting_.clear();
  for (auto& then : waiting) then(shown_);
}

void GtkAppearance::on_theme_name(GObject* settings, GParamSpec* /*pspec*/,
                                  gpointer self) noexcept {
  auto* appearance = static_cast<GtkAppearance*>(self);
  guard_callback("appearance update failed", [appearance, settings] {
    appearance->gtk_.theme_name = theme_name_of(GTK_SETTINGS(settings));
    appearance->update();
  });
}

gboolean GtkAppearance::on_known_deadline(gpointer self) noexcept {
  auto* appearance = static_cast<GtkAppearance*>(self);
  appearance->known_deadline_ = 0;
  guard_callback("appearance update failed", [appearance] { appearance->mark_known(); });
  return G_SOURCE_REMOVE;
}

}  // namespace vessa::platform
