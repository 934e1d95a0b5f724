// What the page is told about this device's stored identity.
#pragma once

#include <string>

#include "support/json.hpp"

namespace vessa::commands {

/// {"clientId": …, "deviceName": …} from the configuration file at `config_path`, each null
/// when absent or unusable. Read-only: never creates the file or an id.
json deviceIdentity(const std::string& config_path);

}  // namespace vessa::commands
