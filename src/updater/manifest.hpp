// The release manifest ("/latest.json" on the download host), versions and this build's keys.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

namespace vessa::updater {

/// One platform's in-place update archive.
struct PlatformEntry {
  std::optional<std::string> url;
  /// The archive's minisign signature: the signature file's text, or that text in base64.
  std::optional<std::string> signature;
};

/// How the running copy was installed, as far as manual downloads go.
enum class InstallFormat { kArchive, kDeb, kRpm };

struct Manifest {
  std::string version;
  std::optional<std::string> notes;
  /// This build's manual-download assets by key (`asset_key(format)`): a path below the
  /// host's root or an absolute http(s) URL.
  std::map<std::string, std::string> assets;
  std::map<std::string, PlatformEntry> platforms;
};

/// Decodes a manifest. Unknown keys are ignored; a missing `version` or a field of the wrong
/// type is an error (its text says which).
tl::expected<Manifest, std::string> parse_manifest(std::string_view body);

/// Whitespace and newlines trimmed from both ends, then "v"/"V" characters from both ends.
std::string normalize_version(std::string_view version);

/// True when `remote` is a later version than `local`: dot-separated integer pieces compared
/// in order, missing pieces as 0, pieces that are not integers dropped.
bool isNewer(std::string_view remote, std::string_view local);

/// This build's architecture ("x86_64").
std::string build_arch();
/// The manifest's platform key for this build ("linux-x86_64").
std::string platform_key();
/// The manifest's asset key for this build: "linux_x86_64" for the archive, "linux-x86_64-deb"
/// and "linux-x86_64-rpm" for the packages ("linux-x86_64" names the archive as well).
std::string asset_key(InstallFormat format = InstallFormat::kArchive);
/// The default manual-download archive name ("Vessa-latest-x86_64.tar.gz").
std::string archive_name();

/// The download host without a trailing "/": the build setting, or VESSA_RELEASE_HOST when
/// set (staging servers and tests).
std::string release_host();
/// The host's "/latest.json".
std::string manifestURL();

/// The platform entry's archive URL when it is an absolute http(s) URL.
std::optional<std::string> updaterTarballURL(const Manifest& manifest);
/// What to download for manual installation in `format`: its asset (below the host's root
/// unless absolute), else the archive's asset, else the default archive name at the root.
std::string browser_download_url(const Manifest& manifest,
                                 InstallFormat format = InstallFormat::kArchive);

}  // namespace vessa::updater
