// The release manifest, version order and this build's platform keys.
#include "updater/manifest.hpp"

#include <curl/curl.h>

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "build_config.hpp"
#include "support/json.hpp"

namespace vessa::updater {
namespace {

using Decoded = tl::expected<std::optional<std::string>, std::string>;

// An optional string field: absent or null is none, any other non-string is an error.
Decoded optional_string(const json& object, const char* key, const std::string& where) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return std::optional<std::string>();
  if (!it->is_string()) return tl::unexpected(where + key + " is not a string");
  return std::optional<std::string>(it->get<std::string>());
}

std::vector<std::int64_t> version_pieces(std::string_view version) {
  std::vector<std::int64_t> pieces;
  size_t start = 0;
  while (start <= version.size()) {
    size_t dot = version.find('.', start);
    if (dot == std::string_view::npos) dot = version.size();
    std::string_view piece = version.substr(start, dot - start);
    start = dot + 1;
    if (piece.empty()) continue;
    // A leading "+" is allowed like "-"; anything else not an integer drops the piece.
    std::string_view digits = piece.front() == '+' ? piece.substr(1) : piece;
    if (digits.empty() || (piece.front() == '+' && digits.front() == '-')) continue;
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size()) continue;
    pieces.push_back(value);
  }
  return pieces;
}

// Every asset key this build reads, the archive's two spellings included.
std::vector<std::string> asset_keys() {
  return {asset_key(), "linux-" + build_arch(), asset_key(InstallFormat::kDeb),
          asset_key(InstallFormat::kRpm)};
}

// The URL as curl reads it, when it is a printable-ASCII http(s) URL with a host. curl accepts
// sloppy forms ("https:/host") and passes raw bytes through, so those are refused here and the
// text handed on is curl's own rendering, never the raw one.
std::optional<std::string> http_url(const std::string& text) {
  for (unsigned char c : text) {
    if (c <= 0x20 || c >= 0x7f) return std::nullopt;
  }
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), curl_url_cleanup);
  if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK)
    return std::nullopt;
  auto part = [&](CURLUPart which) -> std::optional<std::string> {
    char* value = nullptr;
    if (curl_url_get(url.get(), which, &value, 0) != CURLUE_OK || value == nullptr)
      return std::nullopt;
    std::string copy = value;
    curl_free(value);
    return copy;
  };
  auto scheme = part(CURLUPART_SCHEME);
  auto host = part(CURLUPART_HOST);
  if (!scheme || (*scheme != "http" && *scheme != "https") || !host || host->empty())
    return std::nullopt;
  return part(CURLUPART_URL);
}

}  // namespace

tl::expected<Manifest, std::string> parse_manifest(std::string_view body) {
  auto parsed = parse_json(body);
  if (!parsed) return tl::unexpected(std::string("the update manifest is not valid JSON"));
  if (!parsed->is_object())
    return tl::unexpected(std::string("the update manifest is not an object"));
  const json& root = *parsed;
  const std::string where = "the update manifest's ";
  Manifest m;
  auto version = root.find("version");
  if (version == root.end() || version->is_null()) {
    return tl::unexpected(std::string("the update manifest has no version"));
  }
  if (!version->is_string()) return tl::unexpected(where + "version is not a string");
  m.version = version->get<std::string>();

  auto notes = optional_string(root, "notes", where);
  if (!notes) return tl::unexpected(notes.error());
  m.notes = *notes;

  if (auto assets = root.find("assets"); assets != root.end() && !assets->is_null()) {
    if (!assets->is_object()) return tl::unexpected(where + "assets is not an object");
    for (const std::string& key : asset_keys()) {
      auto asset = optional_string(*assets, key.c_str(), where + "assets.");
      if (!asset) return tl::unexpected(asset.error());
      if (const std::optional<std::string>& value = *asset) m.assets[key] = *value;
    }
  }

  if (auto platforms = root.find("platforms"); platforms != root.end() && !platforms->is_null()) {
    if (!platforms->is_object()) return tl::unexpected(where + "platforms is not an object");
    for (const auto& [key, entry] : platforms->items()) {
      std::string entry_where = where + "platforms.";
      entry_where += key;
      if (!entry.is_object()) return tl::unexpected(entry_where + " is not an object");
      auto url = optional_string(entry, "url", entry_where + ".");
      if (!url) return tl::unexpected(url.error());
      auto signature = optional_string(entry, "signature", entry_where + ".");
      if (!signature) return tl::unexpected(signature.error());
      m.platforms[key] = PlatformEntry{*url, *signature};
    }
  }
  return m;
}

std::string normalize_version(std::string_view version) {
  auto is_space = [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
  };
  while (!version.empty() && is_space(version.front())) version.remove_prefix(1);
  while (!version.empty() && is_space(version.back())) version.remove_suffix(1);
  auto is_v = [](char c) { return c == 'v' || c == 'V'; };
  while (!version.empty() && is_v(version.front())) version.remove_prefix(1);
  while (!version.empty() && is_v(version.back())) version.remove_suffix(1);
  return std::string(version);
}

bool isNewer(std::string_view remote, std::string_view local) {
  auto r = version_pieces(remote);
  auto l = version_pieces(local);
  size_t count = std::max(r.size(), l.size());
  for (size_t i = 0; i < count; ++i) {
    std::int64_t rv = i < r.size() ? r[i] : 0;
    std::int64_t lv = i < l.size() ? l[i] : 0;
    if (rv != lv) return rv > lv;
  }
  return false;
}

std::string build_arch() {
  std::string_view triple = build::kTargetTriple;
  return std::string(triple.substr(0, triple.find('-')));
}

std::string platform_key() { return "linux-" + build_arch(); }
std::string asset_key(InstallFormat format) {
  switch (format) {
    case InstallFormat::kDeb:
      return "linux-" + build_arch() + "-deb";
    case InstallFormat::kRpm:
      return "linux-" + build_arch() + "-rpm";
    case InstallFormat::kArchive:
      break;
  }
  return "linux_" + build_arch();
}
std::string archive_name() { return "Vessa-latest-" + build_arch() + ".tar.gz"; }

std::string release_host() {
  const char* env = std::getenv("VESSA_RELEASE_HOST");
  std::string host = env != nullptr && *env != '\0' ? env : build::kReleaseHost;
  while (!host.empty() && host.back() == '/') host.pop_back();
  return host;
}

std::string manifestURL() { return release_host() + "/latest.json"; }

std::optional<std::string> updaterTarballURL(const Manifest& manifest) {
  auto it = manifest.platforms.find(platform_key());
  if (it == manifest.platforms.end()) return std::nullopt;
  const std::optional<std::string>& url = it->second.url;
  if (!url) return std::nullopt;
  return http_url(*url);
}

std::string browser_download_url(const Manifest& manifest, InstallFormat format) {
  std::vector<std::string> keys;
  if (format != InstallFormat::kArchive) keys.push_back(asset_key(format));
  keys.push_back(asset_key());
  keys.push_back("linux-" + build_arch());
  for (const auto& key : keys) {
    auto it = manifest.assets.find(key);
    if (it == manifest.assets.end() || it->second.empty()) continue;
    if (auto url = http_url(it->second)) return *url;
    std::string_view path = it->second;
    while (!path.empty() && path.front() == '/') path.remove_prefix(1);
    if (!path.empty()) return release_host() + "/" + std::string(path);
  }
  return release_host() + "/" + archive_name();
}

}  // namespace vessa::updater
