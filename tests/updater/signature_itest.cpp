// Archive signatures made with minisign at test time, checked against the trusted key.
#include <gtest/gtest.h>

#include "fixtures/temp_home.hpp"
#include "updater/minisign.hpp"
#include "updater/release_key.hpp"
#include "updater_fixture.hpp"

namespace vessa::updater {
namespace {

using testing::base64;
using testing::KeyPair;
using testing::read_file;
using testing::TempHome;
using testing::write_file;

class Signatures : public ::testing::Test {
 protected:
  Signatures() : key_(KeyPair::make(home_.path())), archive_(home_.path() + "/update.tar.gz") {
    write_file(archive_, std::string(100000, 'a') + "the archive");
  }
  tl::expected<void, std::string> check(const std::string& sig, const KeyPair& key) {
    auto pk = parse_public_key(key.public_key);
    EXPECT_TRUE(pk.has_value());
    return verify_file_signature(archive_, sig, *pk);
  }

  TempHome home_;
  KeyPair key_;
  std::string archive_;
};

TEST_F(Signatures, GoodSignaturesPassInBothFormsAndEncodings) {
  for (bool legacy : {false, true}) {
    std::string sig = key_.sign(archive_, legacy);
    // The prehashed form says "ED", the legacy one "Ed" in its first two bytes.
    auto lines = split_lines(sig);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[1].substr(0, 2), legacy ? "RW" : "RU");
    auto raw = check(sig, key_);
    EXPECT_TRUE(raw.has_value()) << (legacy ? "legacy: " : "prehashed: ") << raw.error();
    auto encoded = check(base64(sig), key_);
    EXPECT_TRUE(encoded.has_value()) << encoded.error();
  }
}

// Each refusal, with its reason where one is given (arbitrary text is the fuzz target's).
TEST_F(Signatures, BadSignaturesAreRejectedWithTheirReason) {
  const std::string sig = key_.sign(archive_);
  const std::string legacy_sig = key_.sign(archive_, true);
  const std::string other_key_sig = KeyPair::make(home_.path(), "other").sign(archive_);
  auto lines = split_lines(sig);
  ASSERT_GE(lines.size(), 4u);
  const std::string rest = "\n" + lines[2] + "\n" + lines[3] + "\n";
  std::string relapse = sig;
  relapse.replace(sig.find("trusted comment: test release"), 29, "trusted comment: test relapse");
  struct Case {
    std::string signature;
    bool tampered;       // checked against the archive with one byte changed
    std::string reason;  // the whole error; empty: any
  };
  const Case cases[] = {
      {other_key_sig, false, "signed with another key…"},  // the key ids follow
      {sig, true, "signature does not match the archive"},
      {legacy_sig, true, "signature does not match the archive"},
      {relapse, false, "trusted comment signature does not match"},
      {"", false, "no signature"},
      {sig.substr(0, sig.size() / 2), false, ""},
      {lines[0] + "\n" + lines[1].substr(0, 40) + rest, false, ""},
      {lines[0] + "\nRX" + lines[1].substr(2) + rest, false, ""},  // unknown algorithm
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signature);
    std::string data = std::string(100000, 'a') + "the archive";
    if (c.tampered) data[5000] = 'b';
    write_file(archive_, data);
    auto r = check(c.signature, key_);
    ASSERT_FALSE(r.has_value());
    if (c.reason.ends_with("…")) {
      EXPECT_EQ(r.error().rfind(c.reason.substr(0, c.reason.size() - 3), 0), 0u) << r.error();
    } else if (!c.reason.empty()) {
      EXPECT_EQ(r.error(), c.reason);
    }
  }
}

TEST(ReleaseKey, TheShippedKeyParses) {
  auto builtin = parse_public_key(kReleasePublicKey);
  EXPECT_TRUE(builtin.has_value()) << builtin.error();
  EXPECT_FALSE(parse_public_key("RWQtest").has_value());
}

}  // namespace
}  // namespace vessa::updater
