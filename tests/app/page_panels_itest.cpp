// The page's alert, confirm and prompt panels, and the dialog plug-in's message and save
// panels, always answer the page, mapped from the button.
#include <gtest/gtest.h>

#include "app/web_host_support.hpp"
#include "fixtures/cli_fakes.hpp"
#include "fixtures/helpers.hpp"
#include "fixtures/temp_home.hpp"
#include "platform/gtk/dialogs_gtk.hpp"

G_GNUC_BEGIN_IGNORE_DEPRECATIONS

namespace vessa::testing {
namespace {

// Answers the next message panel once it is shown: `response`, after typing `text` (prompt).
struct Answer {
  int response;
  std::optional<std::string> text;
  std::string seen_text;  // the prompt field's text, or the save chooser's name, as shown
  bool answered = false;
};

gboolean answer_when_shown(gpointer data) noexcept {
  auto* a = static_cast<Answer*>(data);
  GListModel* tops = gtk_window_get_toplevels();
  for (guint i = 0; i < g_list_model_get_n_items(tops); ++i) {
    auto* w = static_cast<GtkWidget*>(g_list_model_get_item(tops, i));
    g_object_unref(w);
    if (GTK_IS_FILE_CHOOSER_DIALOG(w) && gtk_widget_get_visible(w)) {
      // The chooser takes its folder asynchronously, and until it has one it quietly ignores
      // an accept (as it would a user's click that early).
      GFile* folder = gtk_file_chooser_get_current_folder(GTK_FILE_CHOOSER(w));
      if (!folder) return G_SOURCE_CONTINUE;
      g_object_unref(folder);
      gchar* name = gtk_file_chooser_get_current_name(GTK_FILE_CHOOSER(w));
      a->seen_text = name ? name : "";
      g_free(name);
      gtk_dialog_response(GTK_DIALOG(w), a->response);
      a->answered = true;
      return G_SOURCE_REMOVE;
    }
    if (!GTK_IS_MESSAGE_DIALOG(w) || !gtk_widget_get_visible(w)) continue;
    GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(w));
    for (GtkWidget* c = gtk_widget_get_first_child(area); c; c = gtk_widget_get_next_sibling(c)) {
      if (!GTK_IS_ENTRY(c)) continue;
      a->seen_text = gtk_editable_get_text(GTK_EDITABLE(c));
      if (a->text) gtk_editable_set_text(GTK_EDITABLE(c), a->text->c_str());
    }
    gtk_dialog_response(GTK_DIALOG(w), a->response);
    a->answered = true;
    return G_SOURCE_REMOVE;
  }
  return G_SOURCE_CONTINUE;
}

class PagePanels : public ::testing::Test {
 protected:
  std::string ask(HostedPage& page, const std::string& body, Answer& answer) {
    guint source = g_timeout_add(50, answer_when_shown, &answer);
    auto result = page.call(body);
    if (!answer.answered) g_source_remove(source);
    return result.value_or("TIMEOUT");
  }

  TempHome home_;
  PageFolder root_{"<!doctype html><title>panels</title>"};
};

// Every answer but OK is a refusal, closing the panel included. The plug-in's button ids are
// the labels' order, whatever the layout; its save chooser proposes the default path's name in
// its folder.
TEST_F(PagePanels, ButtonsMapToTheAnswers) {
  ScopedServices services(
      [](platform::Services& s) { s.dialogs = std::make_shared<platform::GtkDialogs>(); });
  HostedPage page(root_.path());
  ASSERT_TRUE(page.wait_loads(1));
  const std::string message =
      "return window.__TAURI_INTERNALS__.invoke('plugin:dialog|message', {message: 'm', title: "
      "'T', kind: 'warning', buttons: 'YesNoCancel'});";
  const std::string save =
      "return window.__TAURI_INTERNALS__.invoke('plugin:dialog|save', {options: {defaultPath: '" +
      home_.path() + "/out.txt'}});";
  struct Case {
    std::string script;
    int response;
    std::optional<std::string> typed;
    std::string expected;
    std::string shown;  // the prompt's field or the save chooser's name, as shown
  };
  const Case cases[] = {
      {"alert('hi'); return 'continued';", GTK_RESPONSE_DELETE_EVENT, std::nullopt, "\"continued\"",
       ""},
      {"return confirm('Sure?');", GTK_RESPONSE_OK, std::nullopt, "true", ""},
      {"return confirm('Sure?');", GTK_RESPONSE_DELETE_EVENT, std::nullopt, "false", ""},
      {"return prompt('Name?', 'Ada');", GTK_RESPONSE_OK, "Grace", "\"Grace\"", "Ada"},
      {"return prompt('Name?', 'Ada');", GTK_RESPONSE_CANCEL, "Grace", "null", "Ada"},
      // Without default text the field shows empty.
      {"return prompt('Name?');", GTK_RESPONSE_OK, std::nullopt, "\"\"", ""},
      {message, 0, std::nullopt, "\"Yes\"", ""},
      {message, 1, std::nullopt, "\"No\"", ""},
      {message, GTK_RESPONSE_DELETE_EVENT, std::nullopt, "\"Cancel\"", ""},
      {save, GTK_RESPONSE_ACCEPT, std::nullopt, "\"" + home_.path() + "/out.txt\"", "out.txt"},
      {save, GTK_RESPONSE_CANCEL, std::nullopt, "null", "out.txt"},
  };
  for (const auto& c : cases) {
    Answer a{c.response, c.typed, {}, false};
    EXPECT_EQ(ask(page, c.script, a), c.expected) << c.script << " / " << c.response;
    EXPECT_TRUE(a.answered) << c.script;
    EXPECT_EQ(a.seen_text, c.shown) << c.script;
  }
}

}  // namespace
}  // namespace vessa::testing

G_GNUC_END_IGNORE_DEPRECATIONS
