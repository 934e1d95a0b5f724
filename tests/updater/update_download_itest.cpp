// The background download against a real local server: staging, HTTP failures, archives
// without a bundle, signatures, and the tool runners.
#include <gtest/gtest.h>

#include <filesystem>

#include "fixtures/helpers.hpp"
#include "updater_fixture.hpp"

namespace vessa::updater {
namespace {

using testing::KeyPair;
using testing::read_file;
using testing::UpdaterEnv;
using testing::write_file;
namespace stdfs = std::filesystem;

class UpdateDownload : public ::testing::Test {
 protected:
  // Publishes an archive holding `entry` (a bundle folder named so) signed by `signer`.
  std::string publish_archive(const std::string& entry, const KeyPair& signer,
                              std::string* signature) {
    std::string src = env_.root() + "/src-" + entry;
    testing::make_bundle(src + "/" + entry, "1.3.0", "echo new");
    std::string archive = src + "/a.tar.gz";
    testing::make_archive(src, entry, archive);
    *signature = testing::base64(signer.sign(archive));
    env_.server().serve("/a.tar.gz", read_file(archive));
    return env_.server().url("/a.tar.gz");
  }
  stdfs::path work() const { return stdfs::path(env_.tmp()) / "vessa-update-1.3.0"; }

  UpdaterEnv env_;
};

TEST_F(UpdateDownload, SignedArchiveIsUnpackedAndStaged) {
  testing::LogCapture log;
  json manifest = env_.publish("1.3.0");
  const auto& entry = manifest["platforms"][platform_key()];
  // A folder left from an earlier attempt is replaced.
  write_file((work() / "stale.txt").string(), "old");
  auto app = UpdateChecker::downloadAndPrepare("1.3.0", entry["url"], entry["signature"]);
  ASSERT_TRUE(app.has_value()) << app.error().description();
  EXPECT_EQ(*app, work() / "Vessa.app");
  EXPECT_EQ(read_file((*app / "Resources/marker.txt").string()), "1.3.0");
  EXPECT_TRUE(stdfs::exists(work() / "update.tar.gz"));
  EXPECT_FALSE(stdfs::exists(work() / "stale.txt"));
  EXPECT_TRUE(log.contains("[VessaMac] update 1.3.0 verified at " + app->string()));
}

TEST_F(UpdateDownload, HttpErrorStatusIsABadArchive) {
  env_.server().serve("/gone.tar.gz", "nothing here", 404);
  auto app = UpdateChecker::downloadAndPrepare("1.3.0", env_.server().url("/gone.tar.gz"), "x");
  ASSERT_FALSE(app.has_value());
  EXPECT_EQ(app.error().kind, UpdateError::Kind::kBadArchive);
  EXPECT_EQ(app.error().description(), "Update archive invalid: HTTP 404");
}

TEST_F(UpdateDownload, TransportFailureIsPassedOnUnchanged) {
  // Port 1: nothing listens there, so the connection is refused.
  auto app = UpdateChecker::downloadAndPrepare("1.3.0", "http://127.0.0.1:1/a.tar.gz", "x");
  ASSERT_FALSE(app.has_value());
  EXPECT_EQ(app.error().kind, UpdateError::Kind::kOther);
  EXPECT_EQ(app.error().description(), "Couldn't connect to server");
}

TEST_F(UpdateDownload, ArchiveWithoutTheBundleIsABadArchive) {
  std::string signature;
  std::string url = publish_archive("Other.app", env_.key(), &signature);
  auto app = UpdateChecker::downloadAndPrepare("1.3.0", url, signature);
  ASSERT_FALSE(app.has_value());
  EXPECT_EQ(app.error().description(), "Update archive invalid: no Vessa.app in archive");
}

TEST_F(UpdateDownload, RejectedSignaturesLeaveNothingUnpacked) {
  KeyPair stranger = KeyPair::make(env_.root(), "stranger");
  std::string signature;
  std::string url = publish_archive("Vessa.app", stranger, &signature);
  struct Case {
    std::string signature;
    std::string description_start;
  };
  const Case cases[] = {
      {signature, "Update signature rejected: signed with another key"},
      {"", "Update signature rejected: no signature"},
      {"garbage", "Update signature rejected: signature is not minisign text or base64"},
  };
  for (const auto& c : cases) {
    auto app = UpdateChecker::downloadAndPrepare("1.3.0", url, c.signature);
    ASSERT_FALSE(app.has_value());
    EXPECT_EQ(app.error().kind, UpdateError::Kind::kSignatureRejected);
    EXPECT_EQ(app.error().description().rfind(c.description_start, 0), 0u)
        << app.error().description();
    EXPECT_FALSE(stdfs::exists(work() / "Vessa.app"));
  }
}

TEST_F(UpdateDownload, CorruptSignedArchiveFailsToUnpack) {
  std::string src = env_.root() + "/corrupt";
  write_file(src + "/a.tar.gz", "this is not gzip data");
  std::string sig = testing::base64(env_.key().sign(src + "/a.tar.gz"));
  env_.server().serve("/c.tar.gz", read_file(src + "/a.tar.gz"));
  auto app = UpdateChecker::downloadAndPrepare("1.3.0", env_.server().url("/c.tar.gz"), sig);
  ASSERT_FALSE(app.has_value());
  EXPECT_EQ(app.error().description().rfind("Update archive invalid: exit 2: ", 0), 0u)
      << app.error().description();
}

TEST_F(UpdateDownload, VersionFromTheNetworkStaysOnePathComponent) {
  json manifest = env_.publish("1.3.0");
  const auto& entry = manifest["platforms"][platform_key()];
  stdfs::create_directories(env_.root() + "/precious");
  auto app = UpdateChecker::downloadAndPrepare("../../precious", entry["url"], entry["signature"]);
  ASSERT_TRUE(app.has_value()) << app.error().description();
  EXPECT_EQ(app->parent_path().parent_path(), stdfs::path(env_.tmp()));
  EXPECT_TRUE(stdfs::exists(env_.root() + "/precious"));
}

TEST(UpdateTools, RunToolReportsExitStatusAndTheStartOfStandardError) {
  auto ok =
      UpdateChecker::runTool("/bin/sh", {"-c", "echo out; exit 0"}, UpdateError::Kind::kBadArchive);
  EXPECT_TRUE(ok.has_value());

  std::string long_err(300, 'e');
  auto failed = UpdateChecker::runTool("/bin/sh", {"-c", "printf '" + long_err + "' >&2; exit 3"},
                                       UpdateError::Kind::kSignatureRejected);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().kind, UpdateError::Kind::kSignatureRejected);
  EXPECT_EQ(failed.error().message, "exit 3: " + std::string(200, 'e'));

  // Characters, not bytes: 250 two-byte characters are cut at 200 characters.
  std::string accents;
  for (int i = 0; i < 250; ++i) accents += "\u00e9";
  auto wide = UpdateChecker::runTool("/bin/sh", {"-c", "printf '" + accents + "' >&2; exit 1"},
                                     UpdateError::Kind::kBadArchive);
  ASSERT_FALSE(wide.has_value());
  EXPECT_EQ(wide.error().message, "exit 1: " + accents.substr(0, 400));

  auto undecodable = UpdateChecker::runTool("/bin/sh", {"-c", "printf '\\377\\376' >&2; exit 1"},
                                            UpdateError::Kind::kBadArchive);
  ASSERT_FALSE(undecodable.has_value());
  EXPECT_EQ(undecodable.error().message, "exit 1: ");

  auto missing = UpdateChecker::runTool("/nonexistent/tool", {}, UpdateError::Kind::kBadArchive);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind, UpdateError::Kind::kOther);
}

TEST(UpdateTools, RunToolCaptureJoinsBothStreams) {
  testing::TempHome home;
  auto out = UpdateChecker::runToolCapture("/bin/sh", {"-c", "echo one; echo two >&2; echo three"});
  ASSERT_TRUE(out.has_value()) << out.error().description();
  EXPECT_EQ(*out, "one\ntwo\nthree\n");
  auto failed = UpdateChecker::runToolCapture("/bin/sh", {"-c", "echo why >&2; exit 4"});
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().description(), "Update archive invalid: /bin/sh exited 4: why\n");
}

}  // namespace
}  // namespace vessa::updater
