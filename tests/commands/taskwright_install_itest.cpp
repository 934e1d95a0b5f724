// taskwright_install / _reset / _uninstall with real installer processes: the shipped script and
// test scripts that write known bytes, fail, get killed or leave a grandchild behind.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "commands/taskwright/taskwright_install.hpp"
#include "commands/taskwright_test_support.hpp"

namespace vessa {
namespace {

using testing::FakeBundle;
using testing::install_lock_free;
using testing::read_file;
using testing::TaskwrightEnv;
using testing::write_file;
using Strings = std::vector<std::string>;
namespace stdfs = std::filesystem;

const std::string kInstalling = "installing|Downloading runtime and running installer\u2026";
const std::string kReady = "ready|Install complete. Taskwright is ready to run.";
const std::string kBusy =
    "An install is already in progress. Wait for it to finish or restart the app.";

TEST(TaskwrightInstall, StreamsBothOutputsWithTheHomeAndTheEnrichedPath) {
  TaskwrightEnv env;
  FakeBundle bundle(env.home.path(), R"(printf 'a\r\n'
echo "home=$HOME"
case ":$PATH:" in *":$HOME/.bun/bin:"*) echo "path=enriched" ;; *) echo "path=plain" ;; esac
echo "arg=$0 count=$#"
printf 'oops\n' >&2
printf 'b')");
  EXPECT_EQ(env.run("taskwright_install").value(), "installed");
  Strings lines = env.progress(), out;
  std::copy_if(lines.begin(), lines.end(), std::back_inserter(out),
               [](const std::string& l) { return l.rfind("[stderr] ", 0) != 0; });
  EXPECT_EQ(out, (Strings{"a", "home=" + env.home.path(), "path=enriched",
                          "arg=" + bundle.installer() + " count=0", "b"}));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "[stderr] oops"), 1);
  EXPECT_EQ(env.statuses(), (Strings{kInstalling, kReady}));
}

TEST(TaskwrightInstall, ReportsNonZeroAndSignalledExits) {
  for (const auto& [script, exit_text] : {std::pair{"exit 3", "Some(3)"}, {"kill -9 $$", "None"}}) {
    TaskwrightEnv env;
    FakeBundle bundle(env.home.path(), script);
    const std::string message = std::string("Installer exited with status ") + exit_text;
    EXPECT_EQ(env.run("taskwright_install").error(), message);
    EXPECT_EQ(env.statuses(), (Strings{kInstalling, "error|" + message}));
    EXPECT_TRUE(install_lock_free()) << "lock left held after " << script;
  }
}

TEST(TaskwrightInstall, CleansOnlyStaleInstallsOfOurOwnAndTheOldMarker) {
  const std::pair<Strings, bool> cases[] = {
      {{"bin/radaro", "old.txt"}, true},  // a complete install
      {{"venv/x", "old.txt"}, true},
      {{".install-incomplete"}, true},
      {{}, true},                                       // an empty home
      {{".git/HEAD", "bin/radaro", "old.txt"}, false},  // a checkout with an install
      {{"old.txt", ".installed-version"}, false},       // foreign files
  };
  // The installer reports what it finds in the runtime home and whether the marker was left.
  const std::string script = R"(T="$HOME/.vessa-taskwright"
[ -e "$HOME/.vessa/taskwright-install-in-progress" ] && echo marker-left
if [ -e "$T" ]; then ls -A "$T" | tr '\n' ' '; echo; else echo absent; fi)";
  for (const auto& [files, cleaned] : cases) {
    SCOPED_TRACE(files.empty() ? "empty" : files[0]);
    TaskwrightEnv env;
    FakeBundle bundle(env.home.path(), script);
    stdfs::create_directories(env.tw_home());
    write_file(env.marker(), "");
    for (const auto& f : files) write_file(env.tw_home() + "/" + f, "x");
    ASSERT_TRUE(env.run("taskwright_install").ok());
    Strings lines = env.progress();
    if (cleaned) {
      EXPECT_EQ(lines, (Strings{"[vessa] Cleaning stale install at " + env.tw_home() + "\u2026",
                                "absent"}));
    } else {
      ASSERT_EQ(lines.size(), 1U);
      EXPECT_NE(lines[0].find("old.txt"), std::string::npos);
    }
  }
}

TEST(TaskwrightInstall, FailsWithoutAnyStatusWhenNoInstallerIsFound) {
  TaskwrightEnv env;
  testing::ScopedExecutable nowhere(env.home.path() + "/nowhere/bin/vessa");
  CommandResult r = env.run("taskwright_install");
  EXPECT_EQ(r.error(), "install-taskwright.sh not found (looked in resources and ancestor dirs)");
  EXPECT_TRUE(env.statuses().empty());
  EXPECT_TRUE(install_lock_free());
}

// An installer whose grandchild keeps the pipes open must not hang the install.
TEST(TaskwrightInstall, StopsWaitingForOutputAfterTheEndOfFileWait) {
  TaskwrightEnv env;
  testing::PidFileGuard grandchild{env.home.path() + "/gc.pid"};
  FakeBundle bundle(env.home.path(), "echo started\nsleep 60 &\necho $! > \"$HOME/gc.pid\"");
  taskwright::setEofWaitForTesting(std::chrono::milliseconds(300));
  const auto start = std::chrono::steady_clock::now();
  CommandResult r = env.run("taskwright_install");
  const auto took = std::chrono::steady_clock::now() - start;
  taskwright::setEofWaitForTesting(std::nullopt);
  EXPECT_TRUE(r.ok()) << r.error();
  EXPECT_LT(took, std::chrono::seconds(20));
  EXPECT_EQ(env.progress(), (Strings{"started"}));
  EXPECT_EQ(env.statuses(), (Strings{kInstalling, kReady}));
}

TEST(TaskwrightInstall, RefusesASecondInstallAndResetsWhileOneRuns) {
  TaskwrightEnv env;
  const std::string go = env.home.path() + "/go";
  FakeBundle bundle(env.home.path(), R"(echo waiting
for i in $(seq 1 400); do [ -e "$HOME/go" ] && break; sleep 0.05; done
echo finished)");
  // Lets the installer finish whatever happens below, so no process outlives the test.
  struct Release {
    std::string path;
    ~Release() { write_file(path, ""); }
  } release{go};
  testing::Pending first;
  env.registry->dispatch("taskwright_install", json::object(), first.completion());
  ASSERT_TRUE(testing::run_until([&] { return !env.progress().empty(); }));

  EXPECT_EQ(env.run("taskwright_install").error(), kBusy);
  EXPECT_EQ(env.run("taskwright_reset").error(),
            "An install is in progress \u2014 reset blocked until it finishes.");
  EXPECT_FALSE(first.done());

  write_file(go, "");
  ASSERT_TRUE(testing::run_until([&] { return first.done(); }, std::chrono::seconds(30)));
  EXPECT_EQ(first.result().value(), "installed");
  EXPECT_EQ(env.progress(), (Strings{"waiting", "finished"}));
  // Released exactly once: held by us now, a new install must still be refused.
  ASSERT_TRUE(TaskwrightInstallLock::tryAcquire());
  EXPECT_EQ(env.run("taskwright_install").error(), kBusy);
  TaskwrightInstallLock::release();
}

TEST(TaskwrightInstall, ShippedScriptInstallsTheRuntimeOffline) {
  TaskwrightEnv env;
  testing::ScopedExecutable built(std::string(VESSA_BUNDLE) + "/bin/vessa");
  // A complete earlier install is cleaned first.
  write_file(env.tw_home() + "/bin/radaro", "old", 0755);
  write_file(env.tw_home() + "/leftover", "x");
  CommandResult r = env.run("taskwright_install");
  ASSERT_TRUE(r.ok()) << r.error();
  Strings lines = env.progress();
  ASSERT_GE(lines.size(), 3U);
  EXPECT_EQ(lines.back(), "[taskwright] Done: Taskwright v0.1.0 is ready");
  EXPECT_FALSE(stdfs::exists(env.tw_home() + "/leftover"));
  EXPECT_EQ(env.statuses(), (Strings{kInstalling, kReady}));
  json status = env.run("taskwright_status").value();
  EXPECT_EQ(status["version"], "v0.1.0");
  EXPECT_EQ(status["install_incomplete"], false);
  EXPECT_EQ(env.run("taskwright_exec", {{"args", {"--version"}}}).value()["stdout"],
            "radaro 0.1.0\n");
}

TEST(TaskwrightInstall, ShippedScriptFailsClearlyWithoutTheProgram) {
  TaskwrightEnv env;
  // The real script copied without the radaro program beside it.
  std::string script =
      read_file(std::string(VESSA_BUNDLE) + "/Resources/taskwright/install-taskwright.sh");
  ASSERT_FALSE(script.empty());
  FakeBundle bundle(env.home.path(), script);
  EXPECT_EQ(env.run("taskwright_install").error(), "Installer exited with status Some(1)");
  // The two streams interleave in no fixed order: look for the error line anywhere.
  Strings lines = env.progress();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) {
                            return l.rfind(
                                       "[stderr] install-taskwright: radaro program not found "
                                       "at ",
                                       0) == 0;
                          }),
            1);
  // The markers stay, so the status shows an unfinished install.
  json status = env.run("taskwright_status").value();
  EXPECT_EQ(status["installed"], false);
  EXPECT_EQ(status["install_incomplete"], true);
}

TEST(TaskwrightUninstall, RemovesTheHomeAndAlwaysReportsNotInstalled) {
  TaskwrightEnv env;
  write_file(env.marker(), "");
  EXPECT_EQ(env.run("taskwright_uninstall").value(), "uninstalled");
  write_file(env.tw_home() + "/anything/at/all", "x");
  EXPECT_EQ(env.run("taskwright_uninstall").value(), "uninstalled");
  EXPECT_FALSE(stdfs::exists(env.tw_home()));
  EXPECT_TRUE(stdfs::exists(env.marker()));  // uninstall leaves the marker alone
  EXPECT_EQ(env.statuses(), Strings(2, "not-installed|Taskwright uninstalled."));
}

TEST(TaskwrightReset, RemovesOnlyHomesThatLookLikeOurs) {
  const std::pair<Strings, const char*> cases[] = {
      {{}, "nothing-to-reset"},
      {{".installed-version"}, "reset"},
      {{".git/HEAD", "venv/x"}, "reset"},
      {{"bin/radaro"}, "reset"},
      {{"notes.txt", ".git/HEAD"}, nullptr},  // foreign: refused
  };
  for (const auto& [files, result] : cases) {
    SCOPED_TRACE(files.empty() ? "no home" : files[0]);
    TaskwrightEnv env;
    write_file(env.marker(), "");
    for (const auto& f : files) write_file(env.tw_home() + "/" + f, "x");
    CommandResult r = env.run("taskwright_reset");
    if (result == nullptr) {
      EXPECT_EQ(r.error(), env.tw_home() +
                               " exists but doesn't look like a Vessa Taskwright install. Move "
                               "it aside or set VESSA_TASKWRIGHT_HOME elsewhere, then retry.");
      EXPECT_TRUE(stdfs::exists(env.tw_home() + "/notes.txt"));
      EXPECT_TRUE(env.statuses().empty());
    } else {
      EXPECT_EQ(r.value(), result);
      EXPECT_FALSE(stdfs::exists(env.tw_home()));
      EXPECT_EQ(env.statuses(), Strings{files.empty() ? "not-installed|Nothing to reset."
                                                      : "not-installed|Taskwright reset."});
    }
    EXPECT_FALSE(stdfs::exists(env.marker()));
    EXPECT_TRUE(install_lock_free());
  }
}

}  // namespace
}  // namespace vessa
