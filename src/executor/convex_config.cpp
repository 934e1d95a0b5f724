// Where the executor finds its deployment, and the secret it presents there.
#include "executor/convex_config.hpp"

#include "build_config.hpp"
#include "support/config_file.hpp"

namespace vessa::executor {

std::pair<std::string, std::string> readConvexConfig(const std::string& config_path) {
  std::pair<std::string, std::string> result{build::kApiBaseUrl, ""};
  ConfigRead config = read_config(config_path);
  if (auto it = config.object.find("convexUrl"); it != config.object.end() && it->is_string()) {
    result.first = it->get<std::string>();
  }
  if (auto it = config.object.find("executorSecret");
      it != config.object.end() && it->is_string()) {
    result.second = it->get<std::string>();
  }
  return result;
}

}  // namespace vessa::executor
