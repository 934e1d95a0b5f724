// Where the executor finds its deployment, and the secret it presents there.
#pragma once

#include <string>
#include <utility>

namespace vessa::executor {

/// (deployment URL, executor secret): the build's API base URL and "" unless the file overrides
/// them with `convexUrl` / `executorSecret` strings.
std::pair<std::string, std::string> readConvexConfig(const std::string& config_path);

}  // namespace vessa::executor
