// Where the release manifest lives: shared by the updater and the command self-test.
#pragma once

#include <string>

namespace vessa::updater {

/// The release manifest URL: "/latest.json" on the build's release host, unless the
/// environment variable VESSA_UPDATE_MANIFEST_URL names another one (tests, staging).
std::string manifestURL();

}  // namespace vessa::updater
