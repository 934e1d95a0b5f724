// The main window's remembered size, maximized state and position, kept across launches in a
// small JSON file in the application's config folder.
#pragma once

#include <filesystem>
#include <string>
#include <tl/expected.hpp>

#include "platform/services.hpp"

namespace vessa::commands::window_state {

/// The window-state plug-in's StateFlags bits this shell keeps.
inline constexpr unsigned kSize = 1;
inline constexpr unsigned kPosition = 2;
inline constexpr unsigned kMaximized = 4;
inline constexpr unsigned kAll = kSize | kPosition | kMaximized;

/// The file's name, as the plug-in's filename() reports it.
inline constexpr const char* kFileName = ".window-state.json";

/// `$XDG_CONFIG_HOME/<identifier>/.window-state.json`.
std::filesystem::path file_path();

/// Writes the state of `window` that `flags` names (the other entries stay as saved before):
/// {"main": {"width", "height", "maximized", "x", "y"}}, sizes in logical pixels of the
/// unmaximized window, the position only where the display server tells it. Main thread.
tl::expected<void, std::string> save(platform::MainWindow& window, unsigned flags = kAll);

/// Applies what the file holds for the main window and `flags` names; false when it holds
/// nothing usable. Before the window is shown, it opens that way. Main thread.
bool restore(platform::MainWindow& window, unsigned flags = kAll);

}  // namespace vessa::commands::window_state
