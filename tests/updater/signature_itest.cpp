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

TEST_F(Signatures, AnotherKeyIsRejected) {
  KeyPair other = KeyPair::make(home_.path(), "other");
  auto r = check(other.sign(archive_), key_);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().rfind("signed with another key", 0), 0u) << r.error();
}

TEST_F(Signatures, TamperedArchiveIsRejectedInBothForms) {
  for (bool legacy : {false, true}) {
    std::string sig = key_.sign(archive_, legacy);
    std::string data = read_file(archive_);
    data[5000] = 'b';
    write_file(archive_, data);
    auto r = check(sig, key_);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), "signature does not match the archive");
    write_file(archive_, std::string(100000, 'a') + "the archive");
  }
}

TEST_F(Signatures, ChangedTrustedCommentIsRejected) {
  std::string sig = key_.sign(archive_);
  auto at = sig.find("trusted comment: test release");
  ASSERT_NE(at, std::string::npos);
  sig.replace(at, 29, "trusted comment: test relapse");
  auto r = check(sig, key_);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), "trusted comment signature does not match");
}

TEST_F(Signatures, MissingTruncatedAndGarbageSignaturesAreRejected) {
  std::string sig = key_.sign(archive_);
  auto lines = split_lines(sig);
  ASSERT_GE(lines.size(), 4u);
  std::string sig_line_cut =
      lines[0] + "\n" + lines[1].substr(0, 40) + "\n" + lines[2] + "\n" + lines[3] + "\n";
  std::string unknown_algorithm =
      lines[0] + "\nRX" + lines[1].substr(2) + "\n" + lines[2] + "\n" + lines[3] + "\n";
  const std::string cases[] = {
      "",
      "  \n",
      sig.substr(0, sig.size() / 2),
      sig_line_cut,
      "not a signature at all!",
      base64("untrusted comment: x\nAAAA\n"),
      unknown_algorithm,
  };
  for (const auto& bad : cases) {
    auto r = check(bad, key_);
    EXPECT_FALSE(r.has_value()) << bad;
  }
  EXPECT_EQ(check("", key_).error(), "no signature");
}

TEST(ReleaseKey, TheShippedKeyParses) {
  auto builtin = parse_public_key(kReleasePublicKey);
  EXPECT_TRUE(builtin.has_value()) << builtin.error();
  EXPECT_FALSE(parse_public_key("RWQtest").has_value());
}

}  // namespace
}  // namespace vessa::updater
