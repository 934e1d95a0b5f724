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
  // Serves at `path` an archive of a bundle folder named `entry`, signed by `signer`; returns
  // the base64 signature.
  std::string publish_archive(const std::string& path, const std::string& entry,
                              const KeyPair& signer) {
    std::string src = env_.root() + "/src" + path;
    testing::write_versioned_bundle(src + "/" + entry, "1.3.0", "echo new");
    testing::make_archive(src, entry, src + "/a.tar.gz");
    env_.server().serve(path, read_file(src + "/a.tar.gz"));
    return testing::base64(signer.sign(src + "/a.tar.gz"));
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

TEST_F(UpdateDownload, FailuresAreReportedByKindAndLeaveNothingUnpacked) {
  using Kind = UpdateError::Kind;
  const std::string stranger_sig =
      publish_archive("/stranger.tar.gz", "Vessa.app", KeyPair::make(env_.root(), "stranger"));
  const std::string other_sig = publish_archive("/other.tar.gz", "Other.app", env_.key());
  write_file(env_.root() + "/corrupt.tar.gz", "this is not gzip data");
  env_.server().serve("/corrupt.tar.gz", "this is not gzip data");
  const std::string corrupt_sig = testing::base64(env_.key().sign(env_.root() + "/corrupt.tar.gz"));
  env_.server().serve("/gone.tar.gz", "nothing here", 404);
  struct Case {
    std::string url, signature;
    Kind kind;
    std::string description;  // the start of it
  };
  const Case cases[] = {
      {env_.server().url("/gone.tar.gz"), "x", Kind::kBadArchive,
       "Update archive invalid: HTTP 404"},
      // Port 1: nothing listens there; the transport's message is passed on unchanged.
      {"http://127.0.0.1:1/a.tar.gz", "x", Kind::kOther, "Couldn't connect to server"},
      {env_.server().url("/other.tar.gz"), other_sig, Kind::kBadArchive,
       "Update archive invalid: no Vessa.app in archive"},
      {env_.server().url("/corrupt.tar.gz"), corrupt_sig, Kind::kBadArchive,
       "Update archive invalid: exit 2: "},
      {env_.server().url("/stranger.tar.gz"), stranger_sig, Kind::kSignatureRejected,
       "Update signature rejected: signed with another key"},
      {env_.server().url("/stranger.tar.gz"), "", Kind::kSignatureRejected,
       "Update signature rejected: no signature"},
      {env_.server().url("/stranger.tar.gz"), "garbage", Kind::kSignatureRejected,
       "Update signature rejected: signature is not minisign text or base64"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url + " " + c.signature.substr(0, 10));
    auto app = UpdateChecker::downloadAndPrepare("1.3.0", c.url, c.signature);
    ASSERT_FALSE(app.has_value());
    EXPECT_EQ(app.error().kind, c.kind);
    EXPECT_EQ(app.error().description().rfind(c.description, 0), 0u) << app.error().description();
    EXPECT_FALSE(stdfs::exists(work() / "Vessa.app"));
  }
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

TEST(UpdateTools, RunToolReportsExitStatusAndTheFirst200CharactersOfStandardError) {
  using Kind = UpdateError::Kind;
  EXPECT_TRUE(UpdateChecker::runTool("/bin/sh", {"-c", "echo out"}, Kind::kBadArchive));
  std::string accents;
  for (int i = 0; i < 250; ++i) accents += "\u00e9";
  const std::pair<std::string, std::string> cases[] = {
      {"printf '" + std::string(300, 'e') + "' >&2; exit 3", "exit 3: " + std::string(200, 'e')},
      // Characters, not bytes: 250 two-byte characters are cut at 200 characters.
      {"printf '" + accents + "' >&2; exit 1", "exit 1: " + accents.substr(0, 400)},
      {"printf '\\377\\376' >&2; exit 1", "exit 1: "},
  };
  for (const auto& [script, message] : cases) {
    auto failed = UpdateChecker::runTool("/bin/sh", {"-c", script}, Kind::kSignatureRejected);
    ASSERT_FALSE(failed.has_value()) << script;
    EXPECT_EQ(failed.error().kind, Kind::kSignatureRejected);
    EXPECT_EQ(failed.error().message, message);
  }
  auto missing = UpdateChecker::runTool("/nonexistent/tool", {}, Kind::kBadArchive);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind, Kind::kOther);
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
