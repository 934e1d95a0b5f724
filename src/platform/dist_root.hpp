// Finding the folder of front-end files that the content scheme serves.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace vessa::platform {

struct DistRootInputs {
  /// The bundle's resources folder, when running from a bundle.
  std::optional<std::filesystem::path> bundle_resources;
  /// The running executable as a file path (absolute).
  std::filesystem::path executable;
  /// The value of VESSA_WEB_DIST, when set.
  std::optional<std::string> web_dist_env;
  /// The current working folder.
  std::filesystem::path cwd;
};

/// First match wins: the bundle's "web" folder holding index.html; "apps/web/dist" holding
/// index.html under the executable's folder or one of its seven nearest ancestors;
/// VESSA_WEB_DIST (unchecked); "apps/web/dist" under the working folder (unchecked).
std::filesystem::path resolveDistRoot(const DistRootInputs& inputs);

/// The inputs of this process. `argv0` is the first command-line argument; a bare program
/// name (found through PATH) is replaced by /proc/self/exe. Any thread.
DistRootInputs current_dist_root_inputs(const char* argv0);

}  // namespace vessa::platform
