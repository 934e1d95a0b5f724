// Where the executor program, its browsers and the app's data live.
#pragma once

#include <filesystem>
#include <optional>

namespace vessa::executor {

/// $XDG_DATA_HOME/vessa.app (not created here).
std::filesystem::path appDataDir();

/// The executor program: the bundle's Resources/vessa-executor, else the development build
/// output found from the executable's folder and its ancestors (8 folders in all).
std::optional<std::filesystem::path> locateSidecar();

/// The bundle's Resources/pw folder when it exists.
std::optional<std::filesystem::path> locatePlaywrightDir();

}  // namespace vessa::executor
