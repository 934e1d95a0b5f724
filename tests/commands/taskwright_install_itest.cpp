// taskwright_install / _reset / _uninstall with real installer processes: the shipped script and
// test scripts that write known bytes, fail, get killed or leave a grandchild behind.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>

#include "commands/taskwright/taskwright_install.hpp"
#include "commands/taskwright/taskwright_install_lock.hpp"
#include "commands/taskwright_test_support.hpp"
#include "support/subprocess.hpp"

namespace vessa {
namespace {

using testing::FakeBundle;
using testing::PidFileGuard;
using testing::read_file;
using testing::TaskwrightEnv;
using testing::write_file;
namespace stdfs = std::filesystem;

const std::string kInstalling = "installing|Downloading runtime and running installer\u2026";
const std::string kReady = "ready|Install complete. Taskwright is ready to run.";

// Collects a dispatched command's result without blocking the test thread.
struct Pending {
  std::shared_ptr<std::mutex> mutex = std::make_shared<std::mutex>();
  std::shared_ptr<std::optional<CommandResult>> slot =
      std::make_shared<std::optional<CommandResult>>();
  Completion completion() {
    return [m = mutex, s = slot](const CommandResult& r) {
      std::lock_guard lock(*m);
      *s = r;
    };
  }
  bool done() const {
    std::lock_guard lock(*mutex);
    return slot->has_value();
  }
  CommandResult result() const {
    std::lock_guard lock(*mutex);
    return slot->has_value() ? **slot : CommandResult::failure("PENDING");
  }
};

TEST(TaskwrightInstall, StreamsLinesInOrderAndSucceedsOnExitZero) {
  TaskwrightEnv env;
  // a CR LF, a last line without newline on stdout; an invalid line; one line on stderr.
  FakeBundle bundle(env.home.path(), R"(printf 'a\r\n'
printf 'ok\n\xff\xfe\nafter\n'
printf 'oops\n' >&2
printf 'b'
)");
  CommandResult r = env.run("taskwright_install");
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(r.value(), "installed");
  auto lines = env.app->progress();
  std::vector<std::string> out;
  for (const auto& l : lines) {
    if (l.rfind("[stderr] ", 0) != 0) out.push_back(l);
  }
  EXPECT_EQ(out, (std::vector<std::string>{"a", "ok", "after", "b"}));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "[stderr] oops"), 1);
  EXPECT_EQ(env.app->statuses(), (std::vector<std::string>{kInstalling, kReady}));
}

TEST(TaskwrightInstall, ReportsNonZeroAndSignalledExits) {
  struct Case {
    const char* script;
    const char* exit_text;
  };
  const std::vector<Case> cases = {
      {"exit 3\n", "Some(3)"}, {"exit 1\n", "Some(1)"}, {"kill -9 $$\n", "None"}};
  for (const auto& c : cases) {
    TaskwrightEnv env;
    FakeBundle bundle(env.home.path(), c.script);
    CommandResult r = env.run("taskwright_install");
    const std::string message = std::string("Installer exited with status ") + c.exit_text;
    EXPECT_FALSE(r.ok()) << c.script;
    EXPECT_EQ(r.error(), message);
    EXPECT_EQ(env.app->statuses(), (std::vector<std::string>{kInstalling, "error|" + message}));
    ASSERT_TRUE(TaskwrightInstallLock::tryAcquire()) << "lock left held after " << c.script;
    TaskwrightInstallLock::release();
  }
}

TEST(TaskwrightInstall, GivesTheInstallerTheHomeAndTheEnrichedPath) {
  TaskwrightEnv env;
  FakeBundle bundle(env.home.path(), R"(echo "home=$HOME"
case ":$PATH:" in *":$HOME/.bun/bin:"*) echo "path=enriched" ;; *) echo "path=plain" ;; esac
echo "arg=$0 count=$#"
)");
  ASSERT_TRUE(env.run("taskwright_install").ok());
  auto lines = env.app->progress();
  EXPECT_EQ(lines, (std::vector<std::string>{"home=" + env.home.path(), "path=enriched",
                                             "arg=" + bundle.installer() + " count=0"}));
}

TEST(TaskwrightInstall, CleansOnlyStaleInstallsOfOurOwn) {
  struct Case {
    const char* name;
    std::vector<std::string> files;  // relative to the runtime home; "" makes the empty home
    bool cleaned;
  };
  const std::vector<Case> cases = {
      {"complete install", {"bin/radaro", "old.txt"}, true},
      {"venv only", {"venv/x", "old.txt"}, true},
      {"incomplete marker and more", {".install-incomplete", "old.txt"}, true},
      {"only the incomplete marker", {".install-incomplete"}, true},
      {"empty home", {""}, true},
      {"checkout with an install", {".git/HEAD", "bin/radaro", "old.txt"}, false},
      {"foreign files", {"old.txt", ".installed-version"}, false},
  };
  // The installer reports what it finds in the runtime home.
  const std::string script =
      R"(if [ -e "$HOME/.vessa-taskwright" ]; then ls -A "$HOME/.vessa-taskwright" | tr '\n' ' '; echo; else echo absent; fi
)";
  for (const auto& c : cases) {
    TaskwrightEnv env;
    FakeBundle bundle(env.home.path(), script);
    stdfs::create_directories(env.tw_home());
    for (const auto& f : c.files) {
      if (!f.empty()) write_file(env.tw_home() + "/" + f, "x");
    }
    ASSERT_TRUE(env.run("taskwright_install").ok()) << c.name;
    auto lines = env.app->progress();
    const std::string cleaning = "[vessa] Cleaning stale install at " + env.tw_home() + "\u2026";
    if (c.cleaned) {
      EXPECT_EQ(lines, (std::vector<std::string>{cleaning, "absent"})) << c.name;
    } else {
      ASSERT_EQ(lines.size(), 1U) << c.name;
      EXPECT_NE(lines[0], "absent") << c.name;
      EXPECT_NE(lines[0].find("old.txt"), std::string::npos) << c.name;
    }
  }
}

TEST(TaskwrightInstall, RemovesALeftoverInProgressMarkerFirst) {
  TaskwrightEnv env;
  const std::string marker = env.home.path() + "/.vessa/taskwright-install-in-progress";
  write_file(marker, "");
  FakeBundle bundle(env.home.path(),
                    "[ -e \"$HOME/.vessa/taskwright-install-in-progress\" ] && echo marker || "
                    "echo clear\n");
  ASSERT_TRUE(env.run("taskwright_install").ok());
  EXPECT_EQ(env.app->progress(), (std::vector<std::string>{"clear"}));
}

TEST(TaskwrightInstall, FailsWithoutAnyStatusWhenNoInstallerIsFound) {
  TaskwrightEnv env;
  paths::set_executable_path_for_testing(env.home.path() + "/nowhere/bin/vessa");
  CommandResult r = env.run("taskwright_install");
  paths::set_executable_path_for_testing({});
  EXPECT_EQ(r.error(), "install-taskwright.sh not found (looked in resources and ancestor dirs)");
  EXPECT_TRUE(env.app->statuses().empty());
  ASSERT_TRUE(TaskwrightInstallLock::tryAcquire());
  TaskwrightInstallLock::release();
}

// An installer whose grandchild keeps the pipes open must not hang the install.
TEST(TaskwrightInstall, StopsWaitingForOutputAfterTheEndOfFileWait) {
  TaskwrightEnv env;
  PidFileGuard grandchild(env.home.path() + "/gc.pid");
  FakeBundle bundle(env.home.path(), R"(echo started
sleep 60 &
echo $! > "$HOME/gc.pid"
exit 0
)");
  taskwright::setEofWaitForTesting(std::chrono::milliseconds(300));
  const auto start = std::chrono::steady_clock::now();
  CommandResult r = env.run("taskwright_install");
  const auto took = std::chrono::steady_clock::now() - start;
  taskwright::setEofWaitForTesting(std::nullopt);
  EXPECT_TRUE(r.ok()) << r.error();
  EXPECT_LT(took, std::chrono::seconds(20));
  EXPECT_EQ(env.app->progress(), (std::vector<std::string>{"started"}));
  EXPECT_EQ(env.app->statuses(), (std::vector<std::string>{kInstalling, kReady}));
}

TEST(TaskwrightInstall, RefusesASecondInstallAndResetsWhileOneRuns) {
  TaskwrightEnv env;
  const std::string go = env.home.path() + "/go";
  FakeBundle bundle(env.home.path(), R"(echo waiting
for i in $(seq 1 400); do [ -e "$HOME/go" ] && break; sleep 0.05; done
echo finished
)");
  // Lets the installer finish whatever happens below, so no process outlives the test.
  struct Release {
    std::string path;
    ~Release() { write_file(path, ""); }
  } release{go};
  Pending first;
  env.registry->dispatch("taskwright_install", json::object(), first.completion());
  ASSERT_TRUE(testing::run_until([&] { return !env.app->progress().empty(); }));

  CommandResult second = env.run("taskwright_install");
  EXPECT_EQ(second.error(),
            "An install is already in progress. Wait for it to finish or restart the app.");
  CommandResult reset = env.run("taskwright_reset");
  EXPECT_EQ(reset.error(), "An install is in progress \u2014 reset blocked until it finishes.");
  EXPECT_FALSE(first.done());

  write_file(go, "");
  ASSERT_TRUE(testing::run_until([&] { return first.done(); }, std::chrono::seconds(30)));
  EXPECT_EQ(first.result().value(), "installed");
  EXPECT_EQ(env.app->progress(), (std::vector<std::string>{"waiting", "finished"}));

  // Released exactly once: held by us now, a new install must still be refused.
  ASSERT_TRUE(TaskwrightInstallLock::tryAcquire());
  EXPECT_EQ(env.run("taskwright_install").error(),
            "An install is already in progress. Wait for it to finish or restart the app.");
  TaskwrightInstallLock::release();
}

TEST(TaskwrightInstall, ShippedScriptInstallsTheRuntimeOffline) {
  TaskwrightEnv env;
  paths::set_executable_path_for_testing(std::string(VESSA_BUNDLE) + "/bin/vessa");
  // A complete earlier install is cleaned first.
  write_file(env.tw_home() + "/bin/radaro", "old", 0755);
  write_file(env.tw_home() + "/leftover", "x");
  CommandResult r = env.run("taskwright_install");
  paths::set_executable_path_for_testing({});
  ASSERT_TRUE(r.ok()) << r.error();
  auto lines = env.app->progress();
  ASSERT_GE(lines.size(), 3U);
  EXPECT_EQ(lines.front(), "[vessa] Cleaning stale install at " + env.tw_home() + "\u2026");
  EXPECT_EQ(lines.back(), "[taskwright] Done: Taskwright v0.1.0 is ready");
  EXPECT_FALSE(stdfs::exists(env.tw_home() + "/leftover"));
  EXPECT_EQ(env.app->statuses(), (std::vector<std::string>{kInstalling, kReady}));

  json status = env.run("taskwright_status").value();
  EXPECT_EQ(status["installed"], true);
  EXPECT_EQ(status["version"], "v0.1.0");
  EXPECT_EQ(status["install_incomplete"], false);
  json ran = env.run("taskwright_exec", {{"args", {"--version"}}}).value();
  EXPECT_EQ(ran["stdout"], "radaro 0.1.0\n");
  EXPECT_EQ(ran["exit_code"], 0);
}

TEST(TaskwrightInstall, ShippedScriptFailsClearlyWithoutTheProgram) {
  TaskwrightEnv env;
  // The real script copied without the radaro program beside it.
  std::string script =
      read_file(std::string(VESSA_BUNDLE) + "/Resources/taskwright/install-taskwright.sh");
  ASSERT_FALSE(script.empty());
  FakeBundle bundle(env.home.path(), script);
  CommandResult r = env.run("taskwright_install");
  EXPECT_EQ(r.error(), "Installer exited with status Some(1)");
  auto lines = env.app->progress();
  // The two streams interleave in no fixed order: look for the error line anywhere.
  const std::string prefix = "[stderr] install-taskwright: radaro program not found at ";
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }),
            1);
  // The markers stay, so the status shows an unfinished install.
  json status = env.run("taskwright_status").value();
  EXPECT_EQ(status["installed"], false);
  EXPECT_EQ(status["install_incomplete"], true);
}

// ---- uninstall and reset ----

TEST(TaskwrightUninstall, RemovesTheHomeAndAlwaysReportsNotInstalled) {
  TaskwrightEnv env;
  const std::string marker = env.home.path() + "/.vessa/taskwright-install-in-progress";
  write_file(marker, "");
  EXPECT_EQ(env.run("taskwright_uninstall").value(), "uninstalled");
  write_file(env.tw_home() + "/anything/at/all", "x");
  EXPECT_EQ(env.run("taskwright_uninstall").value(), "uninstalled");
  EXPECT_FALSE(stdfs::exists(env.tw_home()));
  EXPECT_TRUE(stdfs::exists(marker));  // uninstall leaves the marker alone
  EXPECT_EQ(env.app->statuses(),
            (std::vector<std::string>(2, "not-installed|Taskwright uninstalled.")));
}

TEST(TaskwrightReset, RemovesOnlyHomesThatLookLikeOurs) {
  struct Case {
    const char* name;
    std::vector<std::string> files;
    std::string result;  // success value, or "!" + failure message
    std::vector<std::string> statuses;
  };
  TaskwrightEnv probe;  // for the home path in the message
  const std::string tw = probe.tw_home();
  const std::vector<Case> cases = {
      {"no home", {}, "nothing-to-reset", {"not-installed|Nothing to reset."}},
      {"installed version only",
       {".installed-version"},
       "reset",
       {"not-installed|Taskwright reset."}},
      {"checkout with venv", {".git/HEAD", "venv/x"}, "reset", {"not-installed|Taskwright reset."}},
      {"program", {"bin/radaro"}, "reset", {"not-installed|Taskwright reset."}},
      {"foreign",
       {"notes.txt", ".git/HEAD"},
       "!" + tw +
           " exists but doesn't look like a Vessa Taskwright install. Move it aside or set "
           "VESSA_TASKWRIGHT_HOME elsewhere, then retry.",
       {}},
  };
  for (const auto& c : cases) {
    TaskwrightEnv env;
    const std::string marker = env.home.path() + "/.vessa/taskwright-install-in-progress";
    write_file(marker, "");
    for (const auto& f : c.files) write_file(env.tw_home() + "/" + f, "x");
    CommandResult r = env.run("taskwright_reset");
    if (c.result.front() == '!') {
      const std::string expected = c.result.substr(1);
      // The message names this test's own home.
      EXPECT_EQ(r.error(), env.tw_home() + expected.substr(tw.size())) << c.name;
      EXPECT_TRUE(stdfs::exists(env.tw_home() + "/notes.txt")) << c.name;
    } else {
      EXPECT_EQ(r.value(), c.result) << c.name;
      EXPECT_FALSE(stdfs::exists(env.tw_home())) << c.name;
    }
    EXPECT_FALSE(stdfs::exists(marker)) << c.name;
    EXPECT_EQ(env.app->statuses(), c.statuses) << c.name;
    ASSERT_TRUE(TaskwrightInstallLock::tryAcquire()) << c.name;
    TaskwrightInstallLock::release();
  }
}

}  // namespace
}  // namespace vessa
