// Where the release manifest lives: shared by the updater and the command self-test.
#include "updater/release_manifest_url.hpp"

#include <cstdlib>

#include "build_config.hpp"

namespace vessa::updater {

std::string manifestURL() {
  // Test and staging hook: a local or staging server instead of the release host.
  if (const char* override_url = std::getenv("VESSA_UPDATE_MANIFEST_URL");
      override_url && *override_url) {
    return override_url;
  }
  return std::string(build::kReleaseHost) + "/latest.json";
}

}  // namespace vessa::updater
