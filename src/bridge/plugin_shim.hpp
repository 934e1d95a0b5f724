// The page script with the Tauri 2 plug-ins' page-side parts (see plugin_shim.js).
#pragma once

#include <string>
#include <string_view>

#include "support/json.hpp"

namespace vessa::embedded {
/// src/bridge/plugin_shim.js, embedded at build time.
extern const std::string_view kPluginShimSource;
}  // namespace vessa::embedded

namespace vessa::bridge::page_scripts {

/// The os plug-in's facts about this machine: eol, platform, family, os_type, arch,
/// exe_extension and version.
json os_plugin_info();

/// The plug-in script as injected into the app's page, carrying os_plugin_info().
std::string plugin_shim_script();

}  // namespace vessa::bridge::page_scripts
