// The self-updater: the manifest check, the signed background download and staging, the
// prompts, and the swap of the bundle folder once the application has quit.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "updater/manifest.hpp"
#include "updater/update_error.hpp"

namespace vessa::updater {

/// The updater's process-wide state. Main thread only.
struct UpdaterState {
  /// The verified, staged bundle waiting to be installed.
  std::optional<std::filesystem::path> preparedAppURL;
  /// The normalised version of the staged bundle.
  std::optional<std::string> preparedVersion;
  bool downloadInFlight = false;
  bool quitObserverInstalled = false;
};

/// How the running copy is installed.
enum class InstallKind {
  kNone,      ///< not running from a bundle
  kWritable,  ///< a bundle folder this user can replace in place
  kReadOnly,  ///< a bundle folder this user cannot replace
  kDeb,       ///< installed by dpkg
  kRpm,       ///< installed by rpm
};

/// The user-defaults key holding the end of a "Later" snooze (seconds since the Unix epoch).
inline constexpr const char* kSnoozeKey = "vessa.update.snoozeUntil";

/// The file beside a staged Vessa.app that records its tree.
inline constexpr const char* kStagedRecord = "Vessa.app.record";

/// No instances: every member is process-wide.
class UpdateChecker {
 public:
  UpdateChecker() = delete;

  // ---- checks (blocking network work: call them off the main thread) ----

  /// The silent launch check: log lines only, unless an update is found.
  static void checkOnLaunch();
  /// The explicit check; with `userInitiated` its outcome is always shown.
  static void checkNow(bool userInitiated);
  /// The running bundle's version (Info.json), "0.0.0" when it has none. Any thread.
  static std::string currentVersion();

  // ---- main thread ----

  static void presentUpToDate(const std::string& version);
  static void present_check_error(const std::string& description);
  /// Decides what to offer for a newer `remote`, and starts the download when the running
  /// copy can be replaced in place.
  static void startBackgroundUpdate(const Manifest& manifest, const std::string& remote,
                                    const std::string& local, bool userInitiated);
  static UpdaterState& state();

  // ---- download and staging (blocking: pool threads) ----

  /// Downloads the archive into the working folder under the user's cache folder, checks its
  /// signature against the release key, unpacks it, records the tree (`kStagedRecord` beside
  /// it) and returns the staged Vessa.app.
  static UpdateResult<std::filesystem::path> downloadAndPrepare(const std::string& version,
                                                                const std::string& tarballURL,
                                                                const std::string& signature);
  /// Runs `path` with `args`; a failed exit becomes an error of `failure`'s kind carrying
  /// "exit N: " and the start of standard error.
  static UpdateResult<void> runTool(const std::string& path, const std::vector<std::string>& args,
                                    UpdateError::Kind failure);
  /// Runs `path` with `args` and returns standard output and standard error together.
  static UpdateResult<std::string> runToolCapture(const std::string& path,
                                                  const std::vector<std::string>& args);

  // ---- prompts and install at quit (main thread) ----

  /// How the running copy is installed. The first call asks the package managers (blocking:
  /// the checks make it on their pool thread); later calls answer from memory. Any thread.
  static InstallKind install_kind();
  /// The bundle folder when it can be replaced in place: writable, and no package owns it.
  static std::optional<std::filesystem::path> installTargetURL();
  /// Runs `block` once the application can show it (or after about four seconds anyway).
  static void presentAfterLaunch(std::function<void()> block);
  static void presentReady(const std::string& remote, const std::string& local,
                           const std::optional<std::string>& notes,
                           const std::filesystem::path& appURL, bool ignoreSnooze);
  static void presentDownloading(const std::string& remote);
  /// The manual-download offer: "Download" opens `url`, "Later" (or closing it) snoozes;
  /// while snoozed, and unless `ignoreSnooze`, it shows nothing.
  static void presentBrowserFallback(const std::string& remote, const std::string& local,
                                     const std::optional<std::string>& notes,
                                     const std::string& url, InstallFormat format,
                                     bool ignoreSnooze);
  /// Registers, once, the will-terminate hook that installs a staged bundle.
  static void installQuitObserver();
  /// Checks `newApp` against the record made when it was staged, then starts the detached
  /// script that swaps it into the bundle folder once this process has exited (and starts it
  /// again with `relaunch`). A bundle that fails the check is never installed.
  static void installOnExit(const std::filesystem::path& newApp, bool relaunch);
  /// The script `installOnExit` runs: waits for `pid` to end, then swaps `newApp` into
  /// `target` so that either the old or the new bundle is left whole.
  static std::string install_script(pid_t pid, const std::filesystem::path& newApp,
                                    const std::filesystem::path& target, bool relaunch);

  /// How "Restart Now" asks the application to quit (set by the application).
  static void set_terminate_handler(std::function<void()> handler);

  // ---- tests ----

  /// Clears the state and the remembered install kind (the quit observer, once registered,
  /// stays).
  static void reset_for_testing();
  /// How long a download may go without receiving a byte (default 60 s).
  static void set_download_idle_limit_for_testing(std::chrono::seconds limit);
  /// The process the install script waits for (0: this one).
  static void set_install_wait_pid_for_testing(pid_t pid);
};

}  // namespace vessa::updater
