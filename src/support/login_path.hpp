// The PATH every child process gets: the login shell's, then the inherited one and the tool
// folders.
#pragma once

#include <string>
#include <vector>

namespace vessa::launch {

/// The PATH for child processes: the login shell's PATH, then the inherited PATH, then the fixed
/// tool folders and nvm versions; each folder once, first-seen order. Runs a login shell (bounded
/// to 10 s; a shell that hangs is killed and the fixed list used). Any thread.
std::string enrichedPath();

/// The fixed tool folders under `home`, in order, followed by the nvm versions' bin folders.
std::vector<std::string> fixed_tool_dirs(const std::string& home);

}  // namespace vessa::launch
