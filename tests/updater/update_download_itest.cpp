// The background download against a real local server: staging, HTTP failures, stalls,
// archives without a real bundle, signatures, and the tool runners.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>

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
  // the base64 signature. `shape` may rework the folder (given its parent) before packing.
  std::string publish_archive(const std::string& path, const std::string& entry,
                              const KeyPair& signer,
                              const std::function<void(const stdfs::path&)>& shape = {}) {
    std::string src = env_.root() + "/src" + path;
    testing::write_versioned_bundle(src + "/" + entry, "1.3.0", "echo new");
    if (shape) shape(src);
    testing::run_tool({"tar", "-czf", src + "/a.tar.gz", "-C", src, entry});
    env_.server().serve(path, read_file(src + "/a.tar.gz"));
    return testing::base64(signer.sign(src + "/a.tar.gz"));
  }
  stdfs::path work() const { return stdfs::path(env_.updates()) / "vessa-update-1.3.0"; }

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
  EXPECT_EQ(stdfs::status(work()).permissions() & stdfs::perms::all, stdfs::perms::owner_all);
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
  // Signed, but not a plain bundle folder.
  const std::string linked_sig =
      publish_archive("/linked.tar.gz", "Vessa.app", env_.key(), [](const stdfs::path& src) {
        stdfs::rename(src / "Vessa.app", src / "Real.app");
        stdfs::create_directory_symlink("Real.app", src / "Vessa.app");
      });
  const std::string absolute_sig =
      publish_archive("/absolute.tar.gz", "Vessa.app", env_.key(), [](const stdfs::path& src) {
        stdfs::create_symlink("/etc", src / "Vessa.app/Resources/etc");
      });
  const std::string climbing_sig =
      publish_archive("/climbing.tar.gz", "Vessa.app", env_.key(), [](const stdfs::path& src) {
        stdfs::create_symlink("../../..", src / "Vessa.app/Resources/up");
      });
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
      {env_.server().url("/linked.tar.gz"), linked_sig, Kind::kBadArchive,
       "Update archive invalid: Vessa.app is a link, not a folder"},
      {env_.server().url("/absolute.tar.gz"), absolute_sig, Kind::kBadArchive,
       "Update archive invalid: Resources/etc leads outside Vessa.app"},
      {env_.server().url("/climbing.tar.gz"), climbing_sig, Kind::kBadArchive,
       "Update archive invalid: Resources/up leads outside Vessa.app"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url + " " + c.signature.substr(0, 10));
    auto app = UpdateChecker::downloadAndPrepare("1.3.0", c.url, c.signature);
    ASSERT_FALSE(app.has_value());
    EXPECT_EQ(app.error().kind, c.kind);
    EXPECT_EQ(app.error().description().rfind(c.description, 0), 0u) << app.error().description();
    EXPECT_FALSE(stdfs::exists(work() / kStagedRecord));
  }
}

// Only silence ends a download: a transfer that stops sending fails by the idle limit, while
// one that trickles on for longer than that limit completes.
TEST_F(UpdateDownload, StalledDownloadFailsWhileASlowSteadyOneCompletes) {
  json manifest = env_.publish("1.3.0");
  const std::string signature = manifest["platforms"][platform_key()]["signature"];
  const std::string archive = read_file(env_.root() + "/release-1.3.0/update.tar.gz");
  const size_t chunk = archive.size() / 16 + 1;
  std::atomic<bool> released{false};
  // Sends `chunk` bytes every 250 ms; from `stall_at` on it sends nothing until released.
  auto trickle = [&](size_t stall_at) {
    return [&, stall_at](const httplib::Request&, httplib::Response& res) {
      res.set_content_provider(archive.size(), "application/octet-stream",
                               [&, stall_at](size_t offset, size_t, httplib::DataSink& sink) {
                                 if (offset >= stall_at) {
                                   for (int i = 0; i < 400 && !released; ++i) {
                                     std::this_thread::sleep_for(std::chrono::milliseconds(50));
                                   }
                                   return false;
                                 }
                                 std::this_thread::sleep_for(std::chrono::milliseconds(250));
                                 return sink.write(archive.data() + offset,
                                                   std::min(chunk, archive.size() - offset));
                               });
    };
  };
  testing::HttpServer server([&](httplib::Server& s) {
    s.Get("/slow.tar.gz", trickle(archive.size()));
    s.Get("/stalled.tar.gz", trickle(chunk));
  });
  struct Release {
    std::atomic<bool>& flag;
    ~Release() { flag = true; }
  } release{released};

  UpdateChecker::set_download_idle_limit_for_testing(std::chrono::seconds(2));
  struct Case {
    std::string path;
    bool completes;
  };
  for (const Case& c : {Case{"/slow.tar.gz", true}, Case{"/stalled.tar.gz", false}}) {
    SCOPED_TRACE(c.path);
    auto start = std::chrono::steady_clock::now();
    auto app = UpdateChecker::downloadAndPrepare("1.3.0", server.url(c.path), signature);
    auto took = std::chrono::steady_clock::now() - start;
    if (c.completes) {
      ASSERT_TRUE(app.has_value()) << app.error().description();
      EXPECT_EQ(read_file((*app / "Resources/marker.txt").string()), "1.3.0");
      // Longer than the idle limit in all: a limit on the whole transfer would have failed it.
      EXPECT_GT(took, std::chrono::seconds(3));
    } else {
      ASSERT_FALSE(app.has_value());
      EXPECT_EQ(app.error().kind, UpdateError::Kind::kOther);
      EXPECT_EQ(app.error().message, "Transfer stalled: no data for 2 s");
      EXPECT_LT(took, std::chrono::seconds(6));
    }
  }
}

TEST_F(UpdateDownload, VersionFromTheNetworkStaysOnePathComponent) {
  json manifest = env_.publish("1.3.0");
  const auto& entry = manifest["platforms"][platform_key()];
  stdfs::create_directories(env_.root() + "/precious");
  auto app = UpdateChecker::downloadAndPrepare("../../precious", entry["url"], entry["signature"]);
  ASSERT_TRUE(app.has_value()) << app.error().description();
  EXPECT_EQ(app->parent_path().parent_path(), stdfs::path(env_.updates()));
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
