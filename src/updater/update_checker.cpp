// Update checks and the hand-over from a newer manifest to the background download.
#include "updater/update_checker.hpp"

#include "support/bundle.hpp"
#include "support/dispatch.hpp"
#include "support/http.hpp"
#include "support/log.hpp"

namespace vessa::updater {
namespace {

constexpr std::chrono::seconds kManifestLimit{15};

// The manifest, or the description of why it could not be had.
tl::expected<Manifest, std::string> fetch_manifest() {
  http::Request request;
  request.url = manifestURL();
  request.timeout = kManifestLimit;
  request.headers = {{"Cache-Control", "no-cache"}, {"Pragma", "no-cache"}};
  // Whatever body arrives is read as a manifest; an error page simply fails to decode.
  auto response = http::perform(request);
  if (!response) return tl::unexpected(response.error());
  return parse_manifest(response->body);
}

}  // namespace

UpdaterState& UpdateChecker::state() {
  static auto* s = new UpdaterState();
  return *s;
}

std::string UpdateChecker::currentVersion() {
  json info = bundle::info();
  if (auto v = string_arg(info, "CFBundleShortVersionString")) return *v;
  if (auto v = string_arg(info, "CFBundleVersion")) return *v;
  return "0.0.0";
}

void UpdateChecker::checkNow(bool userInitiated) {
  const std::string local = normalize_version(currentVersion());
  auto manifest = fetch_manifest();
  if (!manifest) {
    if (userInitiated) {
      dispatch::main_async([error = manifest.error()] { present_check_error(error); });
    }
    return;
  }
  const std::string remote = normalize_version(manifest->version);
  if (isNewer(remote, local)) {
    (void)install_kind();  // asks the package managers here, off the main thread
    dispatch::main_async([m = *manifest, remote, local, userInitiated] {
      startBackgroundUpdate(m, remote, local, userInitiated);
    });
    return;
  }
  if (userInitiated) {
    dispatch::main_async([version = remote.empty() ? local : remote] { presentUpToDate(version); });
  }
}

void UpdateChecker::checkOnLaunch() {
  const std::string local = normalize_version(currentVersion());
  auto manifest = fetch_manifest();
  if (!manifest) {
    vessa::log("update check failed: " + manifest.error() + " (local " + local + ")");
    return;
  }
  const std::string remote = normalize_version(manifest->version);
  if (isNewer(remote, local)) {
    (void)install_kind();  // asks the package managers here, off the main thread
    dispatch::main_async(
        [m = *manifest, remote, local] { startBackgroundUpdate(m, remote, local, false); });
    return;
  }
  vessa::log("up to date (" + (remote.empty() ? local : remote) +
             ") \u2014 background check, no UI");
}

void UpdateChecker::startBackgroundUpdate(const Manifest& manifest, const std::string& remote,
                                          const std::string& local, bool userInitiated) {
  UpdaterState& s = state();
  const auto notes = manifest.notes;
  if (s.preparedAppURL && s.preparedVersion == remote) {
    presentReady(remote, local, notes, *s.preparedAppURL, userInitiated);
    return;
  }
  if (s.downloadInFlight) {
    if (userInitiated) presentDownloading(remote);
    return;
  }
  const InstallKind kind = install_kind();
  const InstallFormat format = kind == InstallKind::kDeb   ? InstallFormat::kDeb
                               : kind == InstallKind::kRpm ? InstallFormat::kRpm
                                                           : InstallFormat::kArchive;
  const std::string fallback = browser_download_url(manifest, format);
  auto tarball = updaterTarballURL(manifest);
  // A copy that cannot be replaced in place (a package, a system folder) is only offered the
  // download; it never fetches the archive.
  if (!tarball || !installTargetURL()) {
    presentBrowserFallback(remote, local, notes, fallback, format, userInitiated);
    return;
  }
  s.downloadInFlight = true;
  if (userInitiated) presentDownloading(remote);
  vessa::log("update " + local + " \u2192 " + remote + ": downloading " + *tarball +
             " in background");

  const auto& entry = manifest.platforms.at(platform_key());
  dispatch::global_async([remote, local, notes, fallback, userInitiated, url = *tarball,
                          signature = entry.signature.value_or("")] {
    auto staged = downloadAndPrepare(remote, url, signature);
    if (!staged) {
      vessa::log("background update failed: " + staged.error().description() +
                 " \u2014 offering browser fallback");
    }
    dispatch::main_async([staged, remote, local, notes, fallback, userInitiated] {
      UpdaterState& st = state();
      st.downloadInFlight = false;
      if (!staged) {
        presentAfterLaunch([remote, local, notes, fallback, userInitiated] {
          presentBrowserFallback(remote, local, notes, fallback, InstallFormat::kArchive,
                                 userInitiated);
        });
        return;
      }
      st.preparedAppURL = *staged;
      st.preparedVersion = remote;
      installQuitObserver();
      presentAfterLaunch([remote, local, notes, app = *staged, userInitiated] {
        presentReady(remote, local, notes, app, userInitiated);
      });
    });
  });
}

}  // namespace vessa::updater
