// The environment every child process gets, and the facts the executor is launched with.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vessa::launch {

/// The PATH for child processes: the login shell's PATH, then the inherited PATH, then the fixed
/// tool folders and nvm versions; each folder once, first-seen order. Runs a login shell (bounded
/// to 10 s; a shell that hangs is killed and the fixed list used). Any thread.
std::string enrichedPath();

/// The fixed tool folders under `home`, in order, followed by the nvm versions' bin folders.
std::vector<std::string> fixedToolDirs(const std::string& home);

/// $XDG_DATA_HOME/vessa.app (not created here).
std::filesystem::path appDataDir();

/// The user's login shell: $SHELL, or "/bin/zsh" when unset.
std::string loginShell();

}  // namespace vessa::launch
