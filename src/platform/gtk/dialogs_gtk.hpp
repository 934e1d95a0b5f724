// Modal panels on GTK 4.8: file choosers and message dialogs.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/services.hpp"

namespace vessa::platform {

using PathsCallback = std::function<void(std::optional<std::vector<std::string>>)>;

enum class ChooserMode { kOpen, kSave };

/// Shows a modal chooser for files or folders to open, or for a file to save to; `done` gets
/// the chosen paths, or nullopt when the user cancelled. `parent` may be null. Main thread.
void choose_paths_async(GtkWindow* parent, ChooserMode mode, const ChooserOptions& options,
                        PathsCallback done);
/// The same for opening files (or folders when `directories`) without further options.
void choose_paths_async(GtkWindow* parent, bool directories, bool multiple, PathsCallback done);

enum class PanelKind { kAlert, kConfirm, kPrompt };

/// Shows a modal message panel: "OK" (alert), "OK"/"Cancel" (confirm), or "OK"/"Cancel" with a
/// 260 × 24 text field holding `default_text` (prompt). `done(ok, text)` runs once, whichever
/// way the panel ends. Main thread.
void show_message_panel(GtkWindow* parent, PanelKind kind, const std::string& message,
                        const std::string& default_text,
                        std::function<void(bool ok, std::string text)> done);

/// Shows a modal message with the buttons of `options` (the default one rightmost); `done`
/// gets the index of the button clicked, or nullopt when the panel was closed. Main thread.
void show_buttons_panel(GtkWindow* parent, const MessageOptions& options,
                        std::function<void(std::optional<size_t>)> done);

/// Ends every panel on screen as its "Cancel" would, and answers every later one the same way
/// at once: the application is quitting, and a panel left up would hold the quit (a chooser
/// run through GtkDialogs keeps a nested main loop going). Main thread.
void cancel_panels_for_quit();

/// The window panels attach to: `widget`'s window, else the application's active window,
/// else none. Main thread.
GtkWindow* panel_parent(GtkWidget* widget);

/// The blocking Dialogs service: runs each panel in a nested main loop.
class GtkDialogs : public Dialogs {
 public:
  std::optional<std::vector<std::string>> choose_paths(const ChooserOptions& options) override;
  std::optional<std::string> choose_save_path(const ChooserOptions& options) override;
  std::optional<size_t> show_message(const MessageOptions& options) override;
};

}  // namespace vessa::platform
