// The updater's alerts as GTK message dialogs: texts, style, button order and the answer.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <optional>

#include "app/web_host_support.hpp"
#include "fixtures/helpers.hpp"
#include "platform/gtk/alerts_gtk.hpp"

G_GNUC_BEGIN_IGNORE_DEPRECATIONS

namespace vessa::testing {
namespace {

GtkMessageDialog* shown_dialog() {
  for (GtkWidget* w : shown_windows()) {
    if (GTK_IS_MESSAGE_DIALOG(w)) return GTK_MESSAGE_DIALOG(w);
  }
  return nullptr;
}

std::string property(GObject* object, const char* name) {
  gchar* value = nullptr;
  g_object_get(object, name, &value, nullptr);
  const GCharPtr owned(value);
  return value != nullptr ? value : "";
}

TEST(GtkAlerts, ShowsTextsAndButtonsAndAnswersWithTheButtonIndex) {
  gtk_init();
  platform::GtkAlerts alerts;
  EXPECT_FALSE(alerts.ready_to_present());  // no application window
  struct Case {
    int response;
    int expected;
  };
  for (const Case c : {Case{1, 1}, Case{0, 0}, Case{GTK_RESPONSE_DELETE_EVENT, -1}}) {
    std::optional<int> answer;
    alerts.show({platform::AlertStyle::kWarning,
                 "Vessa 2.0 is ready",
                 "Details\n\nnotes",
                 {"Restart Now", "Later"}},
                [&](int button) { answer = button; });
    GtkMessageDialog* dialog = nullptr;
    ASSERT_TRUE(run_until([&] { return (dialog = shown_dialog()) != nullptr; }));
    EXPECT_EQ(property(G_OBJECT(dialog), "text"), "Vessa 2.0 is ready");
    EXPECT_EQ(property(G_OBJECT(dialog), "secondary-text"), "Details\n\nnotes");
    GtkMessageType type = GTK_MESSAGE_OTHER;
    g_object_get(dialog, "message-type", &type, nullptr);
    EXPECT_EQ(type, GTK_MESSAGE_WARNING);
    EXPECT_NE(gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), 1), nullptr);
    gtk_dialog_response(GTK_DIALOG(dialog), c.response);
    ASSERT_TRUE(run_until([&] { return answer.has_value(); }));
    EXPECT_EQ(*answer, c.expected);
    EXPECT_TRUE(run_until([&] { return shown_dialog() == nullptr; }));
  }
}

}  // namespace
}  // namespace vessa::testing

G_GNUC_END_IGNORE_DEPRECATIONS
