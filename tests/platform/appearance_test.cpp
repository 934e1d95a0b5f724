// Which theme the app shows for each portal value, GTK setting and page choice.
#include "platform/appearance.hpp"

#include <gtest/gtest.h>

#include "platform/appearance_portal.hpp"

namespace vessa::platform {
namespace {

TEST(Appearance, ThemeFromPortalValueGtkFallbackAndChoice) {
  const GtkThemeFacts plain{false, "Adwaita", ""};
  const GtkThemeFacts prefers_dark{true, "Adwaita", ""};
  const GtkThemeFacts dark_name{false, "Adwaita-dark", ""};
  const GtkThemeFacts dark_name_caps{false, "Materia-Dark", ""};
  const GtkThemeFacts colon_name{false, "Adwaita:dark", ""};
  const GtkThemeFacts dark_env{false, "Adwaita", "Adwaita:dark"};
  const GtkThemeFacts darkish{false, "Darkly", "dark"};  // "dark" inside a name is no variant
  struct Case {
    const char* setting;  // the portal's value in GVariant text; nullptr: no portal
    GtkThemeFacts gtk;
    std::optional<Theme> choice;
    Theme shown;
  };
  const Case cases[] = {
      {"uint32 1", plain, std::nullopt, Theme::kDark},
      {"uint32 2", dark_name, std::nullopt, Theme::kLight},    // the portal wins over GTK
      {"uint32 0", prefers_dark, std::nullopt, Theme::kDark},  // no preference: GTK decides
      {"uint32 0", plain, std::nullopt, Theme::kLight},
      {"uint32 3", dark_name, std::nullopt, Theme::kDark},  // unknown values state nothing
      {"<<uint32 1>>", plain, std::nullopt, Theme::kDark},  // old portals wrap it
      {"<uint32 2>", prefers_dark, std::nullopt, Theme::kLight},
      {"int32 1", plain, std::nullopt, Theme::kLight},  // only a uint32 counts
      {"'dark'", plain, std::nullopt, Theme::kLight},
      {nullptr, plain, std::nullopt, Theme::kLight},
      {nullptr, prefers_dark, std::nullopt, Theme::kDark},
      {nullptr, dark_name, std::nullopt, Theme::kDark},
      {nullptr, dark_name_caps, std::nullopt, Theme::kDark},
      {nullptr, colon_name, std::nullopt, Theme::kDark},
      {nullptr, dark_env, std::nullopt, Theme::kDark},
      {nullptr, darkish, std::nullopt, Theme::kLight},
      {"uint32 1", plain, Theme::kLight, Theme::kLight},  // the page's choice beats the desktop
      {"uint32 2", prefers_dark, Theme::kDark, Theme::kDark},
      {nullptr, dark_name, Theme::kLight, Theme::kLight},
  };
  for (const Case& c : cases) {
    std::optional<ColorScheme> desktop;
    if (c.setting != nullptr) {
      GVariant* value = g_variant_parse(nullptr, c.setting, nullptr, nullptr, nullptr);
      ASSERT_NE(value, nullptr) << c.setting;
      desktop = color_scheme_from_setting(value);
      g_variant_unref(value);
    }
    EXPECT_EQ(effective_theme(c.choice, desktop, c.gtk), c.shown)
        << (c.setting ? c.setting : "no portal") << " / " << c.gtk.theme_name << " / "
        << c.gtk.theme_env << " / " << (c.choice ? theme_name(*c.choice) : "no choice");
  }
  EXPECT_EQ(color_scheme_from_setting(nullptr), ColorScheme::kNoPreference);
}

}  // namespace
}  // namespace vessa::platform
