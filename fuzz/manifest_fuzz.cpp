// The release manifest and version order: any body parses or fails without harm, and "newer"
// is a strict order whatever the version texts are.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "updater/manifest.hpp"

using vessa::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto manifest = vessa::updater::parse_manifest(text)) {
    const std::string version = vessa::updater::normalize_version(manifest->version);
    check(!vessa::updater::isNewer(version, version), "a version is newer than itself");
    if (auto url = vessa::updater::updaterTarballURL(*manifest)) {
      check(url->starts_with("http://") || url->starts_with("https://"),
            "archive URL is not http(s)");
    }
    (void)vessa::updater::browser_download_url(*manifest);
  } else {
    check(!manifest.error().empty(), "a rejected manifest without a reason");
  }

  // Two version texts, split at the first newline.
  const size_t cut = text.find('\n');
  const std::string_view a = text.substr(0, cut);
  const std::string_view b =
      cut == std::string_view::npos ? std::string_view() : text.substr(cut + 1);
  check(!(vessa::updater::isNewer(a, b) && vessa::updater::isNewer(b, a)), "newer both ways");
  return 0;
}
