// Version order, version normalisation and manifest decoding.
#include "updater/manifest.hpp"

#include <gtest/gtest.h>

#include "fixtures/scripts.hpp"

namespace vessa::updater {
namespace {

TEST(UpdateVersions, OrderFollowsIntegerPieces) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"1.3.0", "1.2.9", true},
      {"1.3", "1.3.0", false},
      {"1.3.0", "1.3", false},
      {"1.10", "1.9", true},            // numeric, not text order
      {"1.3.0-beta.2", "1.3.0", true},  // "0-beta" is dropped: 1,3,2 against 1,3,0
      {"2.0.0-beta", "2.0", false},     // 2,0 against 2,0
      {"1..2", "1.1", true},            // empty pieces dropped: 1,2
      {"rc1", "0.0.0", false},          // no numeric pieces: all zeros, never newer
      {"0.0.1", "", true},
      {"+2", "1", true},  // a signed integer piece keeps its value
      {"-1", "0", false},
      {"99999999999999999999", "1", false},  // does not fit: dropped
  };
  for (const auto& [remote, local, newer] : cases) {
    EXPECT_EQ(isNewer(remote, local), newer) << remote << " vs " << local;
  }
}

TEST(UpdateVersions, NormalisingTrimsSpaceThenVs) {
  EXPECT_EQ(normalize_version("  V2.0 "), "2.0");
  EXPECT_EQ(normalize_version("vv1.0vV"), "1.0");
  EXPECT_EQ(normalize_version(" v 1.0"), " 1.0");  // only the outer white space goes first
  EXPECT_EQ(normalize_version("\t\r\n"), "");
}

class ManifestDecoding : public ::testing::Test {
 protected:
  testing::ScopedEnv host_{"VESSA_RELEASE_HOST", "https://staging.example/"};
};

TEST_F(ManifestDecoding, ReadsThisBuildsEntryAndIgnoresUnknownKeys) {
  std::string body = R"({"version": "v1.4.2", "notes": "Fixes", "extra": [1],
    "assets": {")" + asset_key() +
                     R"(": "files/Vessa-1.4.2.tar.gz", "other_arch": 5},
    "platforms": {")" +
                     platform_key() + R"(": {"url": "https://cdn.example/u.tar.gz",
                                                "signature": "c2ln", "size": 12},
                  "darwin-aarch64": {"url": "https://cdn.example/mac.tar.gz"}}})";
  auto m = parse_manifest(body);
  ASSERT_TRUE(m.has_value()) << m.error();
  EXPECT_EQ(m->version, "v1.4.2");
  EXPECT_EQ(m->notes, "Fixes");
  EXPECT_EQ(updaterTarballURL(*m), "https://cdn.example/u.tar.gz");
  EXPECT_EQ(m->platforms.at(platform_key()).signature, "c2ln");
  EXPECT_EQ(browser_download_url(*m), "https://staging.example/files/Vessa-1.4.2.tar.gz");
  EXPECT_EQ(manifestURL(), "https://staging.example/latest.json");
}

// Each install format is offered its own asset, falling back to the archive's, then to the
// default archive name.
TEST_F(ManifestDecoding, EachInstallFormatGetsItsOwnAssetOrTheArchive) {
  using F = InstallFormat;
  const std::string arch = build_arch();
  const std::string host = "https://staging.example/";
  const std::tuple<std::string, F, std::string> cases[] = {
      {R"({"linux-)" + arch + R"(-deb": "/pkg/v.deb", "linux_)" + arch + R"(": "a.tar.gz"})",
       F::kDeb, host + "pkg/v.deb"},
      {R"({"linux-)" + arch + R"(-rpm": "https://cdn.example/v.rpm"})", F::kRpm,
       "https://cdn.example/v.rpm"},
      {R"({"linux-)" + arch + R"(-deb": "v.deb", "linux_)" + arch + R"(": "a.tar.gz"})", F::kRpm,
       host + "a.tar.gz"},
      {R"({"linux-)" + arch + R"(": "b.tar.gz"})", F::kDeb, host + "b.tar.gz"},
      {R"({"linux-)" + arch + R"(-deb": "v.deb"})", F::kArchive, host + archive_name()},
      {R"({"linux-)" + arch + R"(-deb": ""})", F::kDeb, host + archive_name()},
      {"{}", F::kArchive, host + "Vessa-latest-" + arch + ".tar.gz"},
  };
  for (const auto& [assets, format, url] : cases) {
    auto m = parse_manifest(R"({"version": "2.0.0", "assets": )" + assets + "}");
    ASSERT_TRUE(m.has_value()) << assets << ": " << m.error();
    EXPECT_EQ(browser_download_url(*m, format), url) << assets;
  }
}

// Only this build's entry with a usable URL gives an archive, handed on as curl reads it (curl
// reads sloppy URLs leniently and passes raw bytes through): only printable ASCII.
TEST_F(ManifestDecoding, ArchiveIsThisBuildsUsableUrlAsCurlReadsIt) {
  const std::string own = "\"" + platform_key() + "\": ";
  auto url = [&](const std::string& raw) { return own + "{\"url\": \"" + raw + "\"}"; };
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {R"("darwin-aarch64": {"url": "https://x/a.tar.gz"})", std::nullopt},
      {own + "{}", std::nullopt},
      {url("not a url"), std::nullopt},
      {url("file:///tmp/a.tar.gz"), std::nullopt},
      {url("https:/cdn.example/a.tar.gz"), "https://cdn.example/a.tar.gz"},
      {url("HTTPS://cdn.example/a.tar.gz"), "https://cdn.example/a.tar.gz"},
      {url("https://cdn.example/a b.tar.gz"), std::nullopt},
      {url("https://cdn.example/a.tar\xc8\x98z"), std::nullopt},
      {url("https:/\x89"
           "example.com/a.tar.gz"),
       std::nullopt},
  };
  for (const auto& [entry, read] : cases) {
    auto m = parse_manifest(R"({"version": "2.0.0", "platforms": {)" + entry + "}}");
    ASSERT_TRUE(m.has_value()) << entry << ": " << m.error();
    EXPECT_EQ(updaterTarballURL(*m), read) << entry;
  }
}

TEST_F(ManifestDecoding, WrongTypesAndMissingVersionAreErrors) {
  const std::string p = platform_key();
  const std::string a = asset_key();
  const std::string bad[] = {
      "not json",
      "[1, 2]",
      R"({"notes": "no version"})",
      R"({"version": 1.4})",
      R"({"version": "1.0", "notes": 3})",
      R"({"version": "1.0", "assets": "x"})",
      R"({"version": "1.0", "assets": {")" + a + R"(": 1}})",
      R"({"version": "1.0", "platforms": []})",
      R"({"version": "1.0", "platforms": {"any": 1}})",
      R"({"version": "1.0", "platforms": {")" + p + R"(": {"url": 1}}})",
      R"({"version": "1.0", "platforms": {")" + p + R"(": {"signature": false}}})",
  };
  for (const auto& body : bad) {
    auto m = parse_manifest(body);
    EXPECT_FALSE(m.has_value() || m.error().empty()) << body;
  }
  // Null stands for an absent optional field.
  auto m = parse_manifest(R"({"version": "1.0", "notes": null, "platforms": null})");
  ASSERT_TRUE(m.has_value()) << m.error();
  EXPECT_FALSE(m->notes.has_value());
}

}  // namespace
}  // namespace vessa::updater
