// The update flows on the main loop with scripted alerts: up to date, check errors, the
// browser fallback, staging, the ready prompt and its snooze, "Restart Now", and a release
// made by scripts/release installed at quit over a copy of the built bundle.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "fixtures/helpers.hpp"
#include "fixtures/scripts.hpp"
#include "support/dispatch.hpp"
#include "support/lifecycle.hpp"
#include "updater_fixture.hpp"

namespace vessa::updater {
namespace {

using testing::LogCapture;
using testing::read_file;
using testing::run_until;
using testing::UpdaterEnv;
namespace stdfs = std::filesystem;

constexpr std::chrono::seconds kWait{20};

class UpdateFlow : public ::testing::Test {
 protected:
  bool alerts_reach(size_t n) {
    return run_until([&] { return env_.alerts()->shown().size() >= n; }, kWait);
  }
  std::optional<double> snooze() {
    auto v = platform::services().user_defaults->get(kSnoozeKey);
    if (!v || !v->is_number()) return std::nullopt;
    return v->get<double>();
  }
  static double now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
  }
  bool staged() {
    return run_until([] { return UpdateChecker::state().preparedAppURL.has_value(); }, kWait);
  }

  UpdaterEnv env_;
};

TEST_F(UpdateFlow, EqualOrOlderVersionsAreUpToDate) {
  LogCapture log;
  env_.server().serve("/latest.json", R"({"version": "v1.2\n"})");
  UpdateChecker::checkNow(true);
  ASSERT_TRUE(alerts_reach(1));
  auto alert = env_.alerts()->shown()[0];
  EXPECT_EQ(alert.message, "You're up to date");
  EXPECT_EQ(alert.informative_text, "Vessa 1.2 is the latest version.");
  EXPECT_EQ(alert.buttons, std::vector<std::string>{"OK"});
  EXPECT_TRUE(log.contains("[VessaMac] Vessa 1.2 is the latest version."));

  env_.server().serve("/latest.json", R"({"version": "1.1.9"})");
  UpdateChecker::checkOnLaunch();
  EXPECT_TRUE(log.contains("[VessaMac] up to date (1.1.9) \u2014 background check, no UI"));
  // No numeric pieces: the local version is what the notice names.
  env_.server().serve("/latest.json", R"({"version": "v"})");
  UpdateChecker::checkNow(true);
  ASSERT_TRUE(alerts_reach(2));
  EXPECT_EQ(env_.alerts()->shown()[1].informative_text, "Vessa 1.2.0 is the latest version.");
  EXPECT_EQ(env_.alerts()->shown().size(), 2u);
}

TEST_F(UpdateFlow, FailedChecksLogAtLaunchAndAlertWhenAsked) {
  LogCapture log;
  env_.server().serve("/latest.json", "<html>maintenance</html>", 503);
  UpdateChecker::checkOnLaunch();
  EXPECT_TRUE(log.contains(
      "[VessaMac] update check failed: the update manifest is not valid JSON (local 1.2.0)"));
  UpdateChecker::checkNow(false);
  run_until([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_TRUE(env_.alerts()->shown().empty());

  UpdateChecker::checkNow(true);
  ASSERT_TRUE(alerts_reach(1));
  auto alert = env_.alerts()->shown()[0];
  EXPECT_EQ(alert.style, platform::AlertStyle::kWarning);
  EXPECT_EQ(alert.message, "Couldn't check for updates");
  EXPECT_EQ(alert.informative_text, "the update manifest is not valid JSON");
}

TEST_F(UpdateFlow, ManifestWithoutPlatformsOffersTheBrowserDownload) {
  env_.server().serve("/latest.json", R"({"version": "2.0.0", "notes": "Big one"})");
  env_.alerts()->answer_with({1});  // "Later"
  UpdateChecker::checkNow(true);
  ASSERT_TRUE(alerts_reach(1));
  auto alert = env_.alerts()->shown()[0];
  EXPECT_EQ(alert.message, "Vessa 2.0.0 is available");
  EXPECT_EQ(alert.informative_text,
            "You have 1.2.0. Download the new build, open the archive, and replace Vessa in "
            "your Vessa folder.\n\nBig one");
  EXPECT_EQ(alert.buttons, (std::vector<std::string>{"Download", "Later"}));
  EXPECT_TRUE(env_.opener()->opened.all().empty());
  ASSERT_TRUE(snooze().has_value());
  EXPECT_NEAR(*snooze(), now() + 86400, 60);

  // "Download" opens the asset and leaves the snooze alone; empty notes add no blank lines.
  platform::services().user_defaults->remove(kSnoozeKey);
  env_.server().serve("/latest.json", R"({"version": "2.0.0", "notes": "",
      "assets": {")" + asset_key() + R"(": "files/manual.tar.gz"}})");
  env_.alerts()->answer_with({0});
  UpdateChecker::checkNow(false);
  ASSERT_TRUE(alerts_reach(2));
  EXPECT_EQ(env_.alerts()->shown()[1].informative_text.find("\n"), std::string::npos);
  EXPECT_EQ(env_.opener()->opened.all().back(), env_.server().url("/files/manual.tar.gz"));
  EXPECT_FALSE(snooze().has_value());
}

TEST_F(UpdateFlow, CopyThatCannotBeReplacedInPlaceNeverDownloads) {
  env_.publish("1.3.0");
  // Running outside a bundle: no install target.
  paths::set_executable_path_for_testing(env_.root() + "/loose/bin/vessa");
  env_.alerts()->answer_with({0});
  UpdateChecker::checkNow(true);
  ASSERT_TRUE(alerts_reach(1));
  EXPECT_EQ(env_.alerts()->shown()[0].message, "Vessa 1.3.0 is available");
  EXPECT_FALSE(UpdateChecker::state().downloadInFlight);
  EXPECT_FALSE(stdfs::exists(env_.updates() + "/vessa-update-1.3.0"));
}

// A copy a package manager owns is only offered its own package: "Download" opens that asset,
// "Later" or closing the prompt snoozes it so that the next launch stays quiet. It never
// downloads or stages anything, whatever it answers.
TEST_F(UpdateFlow, PackagedCopyIsOfferedItsPackageAndHonoursTheSnooze) {
  json manifest = env_.publish("1.3.0");
  manifest["assets"] = {{asset_key(InstallFormat::kDeb), "pkg/vessa.deb"},
                        {asset_key(InstallFormat::kRpm), env_.server().url("/abs/vessa.rpm")}};
  env_.server().serve("/latest.json", manifest.dump());
  const std::string bin = env_.root() + "/fakebin";
  testing::ScopedEnv path("PATH", bin + ":" + getenv("PATH"));
  struct Case {
    const char* owner;  // the package manager that claims the running copy
    int answer;         // 0 "Download", 1 "Later", -1 closed
    std::vector<std::string> opened;
    bool quiet_next_launch;
  };
  const Case cases[] = {
      {"dpkg-query", 0, {env_.server().url("/pkg/vessa.deb")}, false},
      {"rpm", 0, {env_.server().url("/abs/vessa.rpm")}, false},
      {"dpkg-query", 1, {}, true},
      {"rpm", -1, {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.owner) + " answers " + std::to_string(c.answer));
    stdfs::remove_all(bin);
    testing::write_script(bin + "/" + c.owner, "exit 0");
    platform::services().user_defaults->remove(kSnoozeKey);
    const size_t shown = env_.alerts()->shown().size();
    const size_t opened = env_.opener()->opened.all().size();
    LogCapture log;

    UpdateChecker::reset_for_testing();  // a fresh launch
    env_.alerts()->answer_with({c.answer});
    UpdateChecker::checkOnLaunch();
    ASSERT_TRUE(alerts_reach(shown + 1));
    auto alert = env_.alerts()->shown()[shown];
    EXPECT_EQ(alert.informative_text,
              "You have 1.2.0. Download the new package and install it with your package "
              "manager.");
    auto all_opened = env_.opener()->opened.all();
    EXPECT_EQ(std::vector<std::string>(all_opened.begin() + opened, all_opened.end()), c.opened);
    EXPECT_EQ(snooze().has_value(), c.quiet_next_launch);

    UpdateChecker::reset_for_testing();  // the next launch
    UpdateChecker::checkOnLaunch();
    if (c.quiet_next_launch) {
      EXPECT_TRUE(run_until(
          [&] { return log.contains("[VessaMac] update 1.3.0 available; prompt snoozed"); }));
      EXPECT_EQ(env_.alerts()->shown().size(), shown + 1);
    } else {
      EXPECT_TRUE(alerts_reach(shown + 2));
    }
    EXPECT_FALSE(UpdateChecker::state().downloadInFlight);
    EXPECT_FALSE(stdfs::exists(env_.updates()));
  }
}

// An archive that is gone or tampered with is never staged: the prompt offers the browser.
TEST_F(UpdateFlow, FailedOrRefusedDownloadFallsBackToTheBrowser) {
  env_.publish("1.3.0");
  std::string tampered = read_file(env_.root() + "/release-1.3.0/update.tar.gz");
  tampered[tampered.size() / 2] ^= 0x40;
  struct Case {
    std::string body;
    int status;
    std::string reason;
  };
  const Case cases[] = {
      {"gone", 404, "Update archive invalid: HTTP 404"},
      {tampered, 200, "Update signature rejected: signature does not match the archive"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    const size_t shown = env_.alerts()->shown().size();
    env_.server().serve("/" + archive_name(), c.body, c.status);
    LogCapture log;
    UpdateChecker::reset_for_testing();
    UpdateChecker::checkOnLaunch();
    ASSERT_TRUE(alerts_reach(shown + 1));
    EXPECT_EQ(env_.alerts()->shown()[shown].message, "Vessa 1.3.0 is available");
    EXPECT_TRUE(log.contains("[VessaMac] background update failed: " + c.reason +
                             " \u2014 offering browser fallback"));
    EXPECT_FALSE(UpdateChecker::state().downloadInFlight);
    EXPECT_FALSE(UpdateChecker::state().preparedAppURL.has_value());
    EXPECT_FALSE(stdfs::exists(env_.updates() + "/vessa-update-1.3.0/Vessa.app"));
  }
}

TEST_F(UpdateFlow, StagedUpdateIsOfferedSnoozedAndReofferedWhenAsked) {
  LogCapture log;
  env_.publish("1.3.0", "Notes here");
  env_.alerts()->answer_with({1});  // "Later"
  UpdateChecker::checkOnLaunch();
  ASSERT_TRUE(staged());
  EXPECT_TRUE(log.contains("[VessaMac] update 1.2.0 \u2192 1.3.0: downloading " +
                           env_.server().url("/" + archive_name()) + " in background"));
  EXPECT_TRUE(UpdateChecker::state().quitObserverInstalled);
  EXPECT_EQ(UpdateChecker::state().preparedVersion, "1.3.0");
  ASSERT_TRUE(alerts_reach(1));
  auto ready = env_.alerts()->shown()[0];
  EXPECT_EQ(ready.message, "Vessa 1.3.0 is ready to install");
  EXPECT_EQ(ready.informative_text,
            "Downloaded and verified in the background (you have 1.2.0). Restart to finish "
            "\u2014 takes a few seconds.\n\nNotes here");
  EXPECT_EQ(ready.buttons, (std::vector<std::string>{"Restart Now", "Later"}));
  EXPECT_TRUE(snooze().has_value());
  EXPECT_TRUE(log.contains("[VessaMac] update 1.3.0 staged \u2014 installing on next quit"));

  // Snoozed: a background check re-offers nothing and downloads nothing.
  stdfs::remove(env_.updates() + "/vessa-update-1.3.0/update.tar.gz");
  UpdateChecker::checkOnLaunch();
  ASSERT_TRUE(run_until([&] {
    return log.contains(
        "[VessaMac] update 1.3.0 ready; prompt snoozed \u2014 will install on quit");
  }));
  EXPECT_EQ(env_.alerts()->shown().size(), 1u);
  EXPECT_FALSE(stdfs::exists(env_.updates() + "/vessa-update-1.3.0/update.tar.gz"));

  // Asked for: shown despite the snooze; "Restart Now" starts the installer and quits.
  auto app = testing::sleeping_app();
  ASSERT_TRUE(app);
  UpdateChecker::set_install_wait_pid_for_testing(app->pid());
  int quits = 0;
  UpdateChecker::set_terminate_handler([&] { ++quits; });
  env_.alerts()->answer_with({0});
  UpdateChecker::checkNow(true);
  ASSERT_TRUE(alerts_reach(2));
  EXPECT_EQ(env_.alerts()->shown()[1].message, "Vessa 1.3.0 is ready to install");
  EXPECT_EQ(quits, 1);
  EXPECT_FALSE(UpdateChecker::state().preparedAppURL.has_value());
  EXPECT_TRUE(
      log.contains("[VessaMac] installer helper spawned (relaunch=true) \u2014 updating on exit"));
  app->terminate(std::chrono::milliseconds(500));
  EXPECT_TRUE(run_until(
      [&] { return read_file(env_.installed() + "/Resources/marker.txt") == "1.3.0"; }, kWait));
}

TEST_F(UpdateFlow, SecondRequestWhileDownloadingOnlyShowsTheNotice) {
  json manifest_json = env_.publish("1.3.0");
  auto manifest = parse_manifest(manifest_json.dump());
  ASSERT_TRUE(manifest.has_value());
  UpdateChecker::state().downloadInFlight = true;
  UpdateChecker::startBackgroundUpdate(*manifest, "1.3.0", "1.2.0", true);
  auto shown = env_.alerts()->shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].message, "Downloading Vessa 1.3.0");
  EXPECT_EQ(shown[0].informative_text,
            "The update is downloading in the background. You'll be asked to restart when it's "
            "ready.");
  // A background check in the same state shows nothing.
  UpdateChecker::startBackgroundUpdate(*manifest, "1.3.0", "1.2.0", false);
  EXPECT_EQ(env_.alerts()->shown().size(), 1u);
  EXPECT_FALSE(stdfs::exists(env_.updates() + "/vessa-update-1.3.0"));
}

// Only the tree recorded at staging is installed: a staged bundle changed since (a cleaner, a
// partial copy, a swapped-in link) is refused at quit and the installed copy stays as it was.
TEST_F(UpdateFlow, StagedTreeChangedSinceStagingIsRefusedAtQuit) {
  json manifest = env_.publish("1.3.0");
  const auto& entry = manifest["platforms"][platform_key()];
  using Change = std::function<void(const stdfs::path&)>;
  const std::pair<const char*, Change> cases[] = {
      {"untouched", [](const stdfs::path&) {}},
      {"rewritten",
       [](const stdfs::path& app) {
         testing::write_file((app / "Resources/marker.txt").string(), "1.3.9");
       }},
      {"partial", [](const stdfs::path& app) { stdfs::remove(app / "Resources/marker.txt"); }},
      {"added", [](const stdfs::path& app) { testing::write_file((app / "x").string(), ""); }},
      {"mode",
       [](const stdfs::path& app) { stdfs::permissions(app / "bin/vessa", stdfs::perms(0644)); }},
      {"no record", [](const stdfs::path& app) { stdfs::remove(app.string() + ".record"); }},
      {"linked root",
       [](const stdfs::path& app) {
         stdfs::rename(app, app.string() + ".real");
         stdfs::create_directory_symlink("Vessa.app.real", app);
       }},
  };
  for (const auto& [what, change] : cases) {
    SCOPED_TRACE(what);
    const bool untouched = std::string(what) == "untouched";
    stdfs::remove_all(env_.installed());
    testing::write_versioned_bundle(env_.installed(), "1.2.0");
    auto app = UpdateChecker::downloadAndPrepare("1.3.0", entry["url"], entry["signature"]);
    ASSERT_TRUE(app.has_value()) << app.error().description();
    change(*app);
    UpdateChecker::set_install_wait_pid_for_testing(testing::ended_pid());
    LogCapture log;
    UpdateChecker::installOnExit(*app, false);
    const std::string marker = env_.installed() + "/Resources/marker.txt";
    if (untouched) {
      EXPECT_TRUE(run_until([&] {
        return read_file(marker) == "1.3.0" && !stdfs::exists(env_.installed() + ".previous");
      }));
      continue;
    }
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("[VessaMac] staged update refused: Update archive invalid: ", 0), 0u)
        << lines[0];
    EXPECT_EQ(read_file(marker), "1.2.0");
  }
}

TEST_F(UpdateFlow, PromptsWaitForAWindowButNotForever) {
  env_.alerts()->ready = false;
  bool ran = false;
  auto start = std::chrono::steady_clock::now();
  UpdateChecker::presentAfterLaunch([&] { ran = true; });
  ASSERT_TRUE(run_until([&] { return ran; }, std::chrono::seconds(10)));
  auto waited = std::chrono::steady_clock::now() - start;
  // 1.2 s, then ten more tries 0.3 s apart.
  EXPECT_GE(waited, std::chrono::milliseconds(4100));
}

// The release script's archive and manifest, from a copy of the built bundle, are found,
// downloaded, verified, staged and installed at quit over another copy of the built bundle.
TEST_F(UpdateFlow, ReleaseScriptArchiveIsInstalledAtQuitOverTheBuiltBundle) {
  const std::string built = VESSA_BUNDLE;
  ASSERT_TRUE(stdfs::exists(built + "/bin/vessa"));
  stdfs::remove_all(env_.installed());
  testing::run_tool({"cp", "-a", built, env_.installed()});
  std::string source = env_.root() + "/next/Vessa.app";
  stdfs::create_directories(env_.root() + "/next");
  testing::run_tool({"cp", "-a", built, source});
  testing::write_file(source + "/Info.json",
                      R"({"CFBundleShortVersionString": "99.0.0", "CFBundleVersion": "99.0.0"})");
  std::string out = env_.root() + "/release";
  testing::run_tool({std::string(VESSA_SOURCE_DIR) + "/scripts/release", "--bundle", source,
                     "--out", out, "--secret-key", env_.key().secret_file, "--base-url",
                     env_.server().root(), "--notes", "From the release script"});
  env_.server().serve("/latest.json", read_file(out + "/latest.json"));
  env_.server().serve("/" + archive_name(), read_file(out + "/" + archive_name()));

  UpdateChecker::checkOnLaunch();
  ASSERT_TRUE(staged());
  EXPECT_TRUE(UpdateChecker::state().quitObserverInstalled);

  auto app = testing::sleeping_app();
  ASSERT_TRUE(app);
  UpdateChecker::set_install_wait_pid_for_testing(app->pid());
  LogCapture log;
  lifecycle::run_will_terminate();
  EXPECT_TRUE(
      log.contains("[VessaMac] installer helper spawned (relaunch=false) \u2014 updating on exit"));
  app->terminate(std::chrono::milliseconds(500));
  std::string info = env_.installed() + "/Info.json";
  EXPECT_TRUE(run_until(
      [&] {
        return read_file(info).find("99.0.0") != std::string::npos &&
               !stdfs::exists(env_.installed() + ".previous");
      },
      kWait));
  // The release ships stripped binaries, and the stripped program still runs.
  const std::string installed_exe = env_.installed() + "/bin/vessa";
  EXPECT_LT(stdfs::file_size(installed_exe), stdfs::file_size(built + "/bin/vessa"));
  proc::Options ping;
  ping.argv = {installed_exe, "--invoke", "__ping"};
  proc::RunOptions limit;
  limit.timeout = std::chrono::seconds(60);
  auto pinged = proc::run(ping, limit);
  ASSERT_TRUE(pinged.has_value());
  EXPECT_TRUE(pinged->status.success()) << pinged->out << pinged->err;
}

}  // namespace
}  // namespace vessa::updater
