// Facts about the running application bundle (Info.json).
#pragma once

#include <string>

#include "support/json.hpp"

namespace vessa::bundle {

/// The bundle's Info.json object; an empty object outside a bundle or when unreadable.
json info();

/// A string entry of Info.json, or `fallback` when absent or not a string.
std::string info_string(const std::string& key, const std::string& fallback);

}  // namespace vessa::bundle
