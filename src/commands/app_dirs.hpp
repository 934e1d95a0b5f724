// The folders the page's path module names (BaseDirectory), laid out by the XDG rules, and the
// application identifier they share.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace vessa::commands::app_dirs {

/// The numbers the page uses for each base folder.
enum class Base {
  kAudio = 1,
  kCache,
  kConfig,
  kData,
  kLocalData,
  kDocument,
  kDownload,
  kPicture,
  kPublic,
  kVideo,
  kResource,
  kTemp,
  kAppConfig,
  kAppData,
  kAppLocalData,
  kAppCache,
  kAppLog,
  kDesktop,
  kExecutable,
  kFont,
  kHome,
  kRuntime,
  kTemplate,
};

/// The bundle's CFBundleIdentifier, or the identifier the build gives the bundle when this is
/// not running from one. Any thread.
std::string identifier();

/// The name this user's running application is known by on the session bus: identifier() when
/// its data lives in the account's usual folders, else identifier() + ".h" + a short hash of the
/// data folders ($HOME, the XDG config and data homes), so a run with other folders is an
/// instance of its own. Any thread.
std::string instance_id();

/// The folder for base folder number `code`; nullopt for an unknown number or a folder this
/// user's environment does not define (an unset XDG user folder, no $XDG_RUNTIME_DIR).
std::optional<std::filesystem::path> base_dir(int code);

/// The page's appDataDir(): the data home joined with the identifier.
std::filesystem::path app_data_dir();

}  // namespace vessa::commands::app_dirs
