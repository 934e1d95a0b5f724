// Finding tools the way the user's login shell does, and reading their versions.
#pragma once

#include <optional>
#include <string>

namespace vessa::commands::cli {

/// The absolute path of `name` as the user's login shell finds it (`command -v`, then `which`),
/// or nullopt. Only plain program names are looked up (letters, digits, ".", "_", "+", "-");
/// anything else is refused without starting a shell. The shell is bounded to 10 s.
std::optional<std::string> whichViaLoginShell(const std::string& name);

/// The first non-empty line of `path --version` (run with only PATH = enrichedPath() in its
/// environment; stopped after 5 s, keeping what it printed), or nullopt.
std::optional<std::string> runVersion(const std::string& path);

/// The same with the PATH value given (callers that read many versions compute it once).
std::optional<std::string> runVersion(const std::string& path, const std::string& path_value);

}  // namespace vessa::commands::cli
