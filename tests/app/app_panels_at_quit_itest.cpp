// Panels the page opened answer as cancelled when the application quits, and panels asked for
// after that answer the same way at once: the page's promise settles and nothing holds the quit.
#include <gtest/gtest.h>

#include "app/web_host_support.hpp"
#include "fixtures/cli_fakes.hpp"
#include "fixtures/temp_home.hpp"
#include "platform/gtk/dialogs_gtk.hpp"

namespace vessa::testing {
namespace {

constexpr const char* kOpenChooser =
    "return await window.__TAURI_INTERNALS__.invoke('plugin:dialog|open', {multiple: true});";

struct PanelAnswer {
  const char* script;
  const char* cancelled;  // the answer a cancelled panel gives
};

const PanelAnswer kPanelAnswers[] = {
    {kOpenChooser, "null"},
    {"return confirm('Sure?');", "false"},
    {"return prompt('Name?', 'Ada');", "null"},
};

size_t visible_windows() {
  GListModel* tops = gtk_window_get_toplevels();
  size_t n = 0;
  for (guint i = 0; i < g_list_model_get_n_items(tops); ++i) {
    auto* w = static_cast<GtkWidget*>(g_list_model_get_item(tops, i));
    n += gtk_widget_get_visible(w) ? 1 : 0;
    g_object_unref(w);
  }
  return n;
}

// A file chooser run for a command keeps a nested main loop going: once, it held the quit.
TEST(AppPanelsAtQuit, OpenAndLaterPanelsAnswerAsCancelled) {
  TempHome home;
  PageFolder root("<!doctype html><title>panels</title>");
  ScopedServices services(
      [](platform::Services& s) { s.dialogs = std::make_shared<platform::GtkDialogs>(); });
  HostedPage page(root.path());
  ASSERT_TRUE(page.wait_loads(1));
  const size_t before = visible_windows();

  // A chooser (its promise stays open while it shows) and a confirm are up together when the
  // quit comes; a confirm blocks the page, so it is asked second. The chooser runs a nested
  // main loop, so the steps run from a timer rather than between loop iterations.
  struct Steps {
    HostedPage* page;
    size_t before;
    detail::CallState* chooser = nullptr;
    detail::CallState* confirm = nullptr;
    bool cancelled = false;
  } steps{&page, before};
  steps.chooser = page.start(kPanelAnswers[0].script);
  guint timer = g_timeout_add(
      50,
      +[](gpointer data) noexcept -> gboolean {
        auto* st = static_cast<Steps*>(data);
        if (!st->confirm && visible_windows() >= st->before + 1) {
          st->confirm = st->page->start(kPanelAnswers[1].script);
        } else if (st->confirm && visible_windows() >= st->before + 2) {
          platform::cancel_panels_for_quit();
          st->cancelled = true;
          return G_SOURCE_REMOVE;
        }
        return G_SOURCE_CONTINUE;
      },
      &steps);
  const bool settled =
      run_until([&] { return steps.cancelled && steps.chooser->done && steps.confirm->done; },
                std::chrono::seconds(30));
  if (!steps.cancelled) g_source_remove(timer);
  ASSERT_TRUE(settled) << "a panel never settled";
  EXPECT_EQ(steps.chooser->result, kPanelAnswers[0].cancelled);
  EXPECT_EQ(steps.confirm->result, kPanelAnswers[1].cancelled);
  delete steps.chooser;
  delete steps.confirm;

  for (const auto& row : kPanelAnswers) {
    EXPECT_EQ(page.call(row.script, 5000).value_or("TIMEOUT"), row.cancelled) << row.script;
    EXPECT_EQ(visible_windows(), before) << row.script << " showed a panel while quitting";
  }
}

}  // namespace
}  // namespace vessa::testing
