// The Skyvern lifecycle commands through the registry: installers, gate, start/stop, uninstall.
#include <sys/stat.h>

#include <filesystem>
#include <regex>

#include "skyvern_fixture.hpp"
#include "support/subprocess.hpp"

namespace vessa::testing {
namespace {

using skyvern_fixture::Harness;
using skyvern_fixture::SkyvernEnv;
namespace stdfs = std::filesystem;
using Strings = std::vector<std::string>;

const std::string kReal = std::string(VESSA_SOURCE_DIR) + "/resources/skyvern/";
const std::string kDockerMissing =
    "Docker not found. Install Docker Desktop, start it, then click Install again.";
const std::string kInstalling = "installing|Pulling Skyvern image and starting container\u2026";
const std::string kInstallingDocker =
    "installing-docker|Setting up a Docker runtime (colima)\u2026";
const std::string kReady = "ready|Skyvern is up.";

// Runs `cmd` once per (script, answer) with `script` as the bundle's `file` and docker info
// answering `info`. An answer starting with "!" is a failure whose message ends the statuses as
// "error|..."; otherwise the statuses end with `done`.
void check_outcomes(const char* cmd, const char* file, int info, const std::string& first,
                    const std::string& done,
                    const std::vector<std::pair<std::string, std::string>>& cases) {
  for (const auto& [script, answer] : cases) {
    SCOPED_TRACE(script);
    SkyvernEnv env;
    env.answer("info", info);
    env.use_bundle({{file, script}});
    Harness h;
    CommandResult r = h.run(cmd);
    bool failed = !answer.empty() && answer[0] == '!';
    EXPECT_EQ(failed ? "!" + r.error() : r.value().get<std::string>(), answer);
    EXPECT_EQ(h.statuses_after(2), (Strings{first, failed ? "error|" + answer.substr(1) : done}));
  }
}

TEST(SkyvernInstall, StreamsOutputAndAnswersWithTheLastNonBlankLine) {
  SkyvernEnv env;
  env.use_bundle({{"install-skyvern.sh",
                   "printf 'Pulling\\r\\nlayer 10%%\\rlayer 20%%\\nbad \\377 byte\\n'\n"
                   "echo 'a warning' >&2\n"
                   "echo 'http://localhost:8123'\n"
                   "printf ' \\t\\n\\n  '\n"}});
  Harness h;
  CommandResult r = h.run("skyvern_install");
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(r.value(), "http://localhost:8123");
  EXPECT_EQ(h.statuses_after(2), (Strings{kInstalling, kReady}));
  Strings lines = h.progress();
  Strings out;
  std::copy_if(lines.begin(), lines.end(), std::back_inserter(out),
               [](const std::string& l) { return l.rfind("[docker] ", 0) != 0; });
  EXPECT_EQ(out, (Strings{"Pulling", "layer 10%\rlayer 20%", "bad \xEF\xBF\xBD byte",
                          "http://localhost:8123", " \t", "", "  "}));
  EXPECT_EQ(lines.size(), out.size() + 1);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "[docker] a warning"), 1);
}

TEST(SkyvernInstall, OutcomesOfTheInstaller) {
  check_outcomes("skyvern_install", "install-skyvern.sh", 0, kInstalling, kReady,
                 {{"echo progress >&2", ""},
                  {"echo http://x\nexit 3", "!Installer exited with status Some(3)"},
                  {"kill -9 $$", "!Installer exited with status None"}});
}

TEST(SkyvernInstall, RunsWithTheStoppedDaemonButNotWithoutDocker) {
  {
    SkyvernEnv env;
    env.answer("info", 1);
    env.use_bundle({{"install-skyvern.sh", "echo \"$PATH\"\n"}});
    Harness h;
    EXPECT_EQ(h.run("skyvern_install").value(), skyvern::skyvernPath());  // the search path
    EXPECT_TRUE(env.calls().empty());  // the daemon is not asked here
  }
  SkyvernEnv env;
  env.use_docker(env.home() + "/nowhere/docker");
  env.use_bundle({{"install-skyvern.sh", "touch \"$HOME/ran\"\n"}});
  Harness h;
  EXPECT_EQ(h.run("skyvern_install").error(), kDockerMissing);
  EXPECT_EQ(h.statuses_after(1), Strings{"docker-missing|" + kDockerMissing});
  EXPECT_FALSE(stdfs::exists(env.home() + "/ran"));
}

TEST(SkyvernInstall, FindsScriptsInResourcesAndAncestorFolders) {
  {
    SkyvernEnv env;  // directly in Resources/
    env.use_bundle({{"install-skyvern.sh", "echo from-resources\n"}}, "");
    EXPECT_EQ(Harness().run("skyvern_install").value(), "from-resources");
  }
  {
    SkyvernEnv env;  // no bundle: a development checkout above the executable
    write_file(env.home() + "/apps/desktop/skyvern/install-skyvern.sh", "echo from-checkout\n");
    env.run_from(env.home() + "/a/b/c/d/vessa");
    EXPECT_EQ(Harness().run("skyvern_install").value(), "from-checkout");
  }
  SkyvernEnv env;  // nothing anywhere: no event, just the message
  env.use_bundle({});
  env.answer("info", 1);
  Harness h;
  EXPECT_EQ(h.run("skyvern_install").error(),
            "install-skyvern.sh not found (checked Resources/skyvern, Resources, and ancestor "
            "dirs)");
  EXPECT_EQ(h.run("skyvern_install_docker").error(),
            "install-docker.sh not found (checked resources + ancestor dirs)");
  EXPECT_TRUE(h.statuses_after(0).empty());
}

TEST(SkyvernInstall, GateRefusesASecondInstallOfEitherKindWhileOneRuns) {
  SkyvernEnv env;
  env.use_bundle({{"install-skyvern.sh",
                   "for i in $(seq 1 200); do [ -f \"$HOME/release\" ] && break; sleep 0.05; done\n"
                   "echo done\n"},
                  {"install-docker.sh", "exit 0\n"}});
  env.answer("info", 0);
  env.answer("stop", 0);
  Harness h;
  Pending first;
  h.registry->dispatch("skyvern_install", json::object(), first.completion());
  // Refused at once, on the dispatching thread.
  for (const char* cmd : {"skyvern_install", "skyvern_install_docker"}) {
    std::optional<CommandResult> second;
    h.registry->dispatch(cmd, json::object(), [&](const CommandResult& r) { second = r; });
    ASSERT_TRUE(second) << cmd;
    EXPECT_EQ(second->error(), "An install is already in progress.");
  }
  EXPECT_EQ(h.run("skyvern_stop").value(), "stopped");  // commands without the gate still answer

  write_file(env.home() + "/release", "");
  ASSERT_TRUE(run_until([&] { return first.done(); }));
  EXPECT_EQ(first.result().value(), "done");
  // The gate is open again by the time the outcome is known.
  EXPECT_EQ(h.run("skyvern_install_docker").value(), "Docker is already running.");
}

TEST(SkyvernInstallDocker, OutcomesOfTheDockerInstaller) {
  check_outcomes(
      "skyvern_install_docker", "install-docker.sh", 1, kInstallingDocker,
      "docker-ready|Docker is ready. You can install Skyvern now.",
      {{"echo 0 > \"$HOME/fake/info.code\"", "docker-ready"},
       {"exit 10",
        "!Homebrew is required to auto-install Docker. Install it once (see the log), "
        "then click Install Docker again."},
       {"exit 0", "!Docker setup did not complete (exit Some(0)). See the log above."},
       {"kill -TERM $$", "!Docker setup did not complete (exit None). See the log above."}});
}

TEST(SkyvernInstallDocker, RunningDockerNeedsNoInstaller) {
  SkyvernEnv env;
  env.answer("info", 0);
  env.use_bundle({{"install-docker.sh", "touch \"$HOME/ran\"\n"}});
  Harness h;
  EXPECT_EQ(h.run("skyvern_install_docker").value(), "Docker is already running.");
  EXPECT_TRUE(h.statuses_after(0).empty());
  EXPECT_FALSE(stdfs::exists(env.home() + "/ran"));
}

TEST(SkyvernStartStop, MessagesAndEvents) {
  for (const auto& [cmd, verb, value, status] :
       {std::tuple{"skyvern_start", "start", "started", "ready|Skyvern started."},
        std::tuple{"skyvern_stop", "stop", "stopped", "not-installed|Skyvern stopped."}}) {
    SCOPED_TRACE(cmd);
    SkyvernEnv env;
    Harness h;
    env.answer(verb, 0);
    EXPECT_EQ(h.run(cmd).value(), value);
    EXPECT_EQ(h.statuses_after(1), Strings{status});
    EXPECT_EQ(env.calls(), Strings{std::string(verb) + " vessa-skyvern"});

    env.answer(verb, 1);
    EXPECT_EQ(h.run(cmd).error(), std::string("docker ") + verb + " exited Some(1)");
    EXPECT_EQ(h.statuses_after(1).size(), 1U);  // no event for a failure

    env.use_docker(env.home() + "/gone/docker");
    EXPECT_EQ(h.run(cmd).error(), std::string("docker ") + verb + " failed: could not run " +
                                      env.home() + "/gone/docker");
  }
}

TEST(SkyvernUninstall, RemovesTheContainerAndTheSettingsFolder) {
  for (bool with_settings : {true, false}) {
    SCOPED_TRACE(with_settings);
    SkyvernEnv env;
    env.answer("rm", 1);  // no such container: ignored
    if (with_settings) write_file(env.settings_dir() + "/data/deep/file", "x");
    Harness h;
    EXPECT_EQ(h.run("skyvern_uninstall").value(), "uninstalled");
    EXPECT_FALSE(stdfs::exists(env.settings_dir()));
    EXPECT_EQ(h.statuses_after(1),
              Strings{"not-installed|Skyvern container removed and data wiped."});
    EXPECT_EQ(env.calls(), Strings{"rm -f vessa-skyvern"});
  }
}

TEST(SkyvernUninstall, SettingsLinkIsRemovedWithoutTouchingItsTarget) {
  SkyvernEnv env;
  write_file(env.home() + "/elsewhere/keep", "x");
  stdfs::create_symlink(env.home() + "/elsewhere", env.settings_dir());
  EXPECT_EQ(Harness().run("skyvern_uninstall").value(), "uninstalled");
  EXPECT_FALSE(stdfs::exists(stdfs::symlink_status(env.settings_dir())));
  EXPECT_TRUE(stdfs::exists(env.home() + "/elsewhere/keep"));
}

// The shipped installer, run against the fake docker.
TEST(SkyvernScripts, InstallerWritesPrivateSettingsAndStartsTheContainer) {
  SkyvernEnv env;
  env.use_bundle({{"install-skyvern.sh", read_file(kReal + "install-skyvern.sh")}});
  env.answer("pull", 0, "Status: Downloaded newer image\n");
  env.answer("inspect", 0, "true\n");
  Harness h;
  CommandResult r = h.run("skyvern_install");
  ASSERT_TRUE(r.ok()) << r.error();

  const std::string env_file = env.settings_dir() + "/skyvern.env";
  struct stat st {};
  ASSERT_EQ(::stat(env_file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600);
  const std::string text = read_file(env_file);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      text, m, std::regex("SKYVERN_PORT=([0-9]+)\nSKYVERN_API_KEY=([0-9a-f]{64})\n")))
      << text;
  const std::string port = m[1], key = m[2];
  EXPECT_EQ(r.value(), "http://localhost:" + port);
  Strings lines = h.progress();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Status: Downloaded newer image"), lines.end());
  for (const auto& l : lines) EXPECT_EQ(l.find(key), std::string::npos) << "key shown: " << l;
  Strings calls = env.calls();
  ASSERT_EQ(calls.size(), 6U);
  EXPECT_EQ(calls[3], "create --name vessa-skyvern --restart unless-stopped -p 127.0.0.1:" + port +
                          ":8000 --env-file " + env_file + " -v " + env.settings_dir() +
                          "/data:/data public.ecr.aws/skyvern/skyvern:latest");
  EXPECT_EQ(calls[4], "start vessa-skyvern");

  // A reinstall replaces the container and keeps the port and key.
  env.answer("ps", 0, "vessa-skyvern\n");
  EXPECT_EQ(h.run("skyvern_install").value(), r.value());
  EXPECT_EQ(read_file(env_file), text);
  calls = env.calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "rm -f vessa-skyvern"), calls.end());
}

TEST(SkyvernScripts, InstallerFailsWhenTheContainerDoesNotRun) {
  SkyvernEnv env;
  env.use_bundle({{"install-skyvern.sh", read_file(kReal + "install-skyvern.sh")}});
  env.answer("inspect", 0, "false\n");
  Harness h;
  EXPECT_EQ(h.run("skyvern_install").error(), "Installer exited with status Some(1)");
  Strings lines = h.progress();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind("[docker] The vessa-skyvern container did not stay running", 0), 0U)
      << lines.back();
}

TEST(SkyvernScripts, DockerInstallerReportsMissingHomebrew) {
  SkyvernEnv env;
  env.use_bundle({{"install-docker.sh", read_file(kReal + "install-docker.sh")}});
  env.answer("info", 1);
  // Keep any brew of the inherited PATH or the login shell's out of the script's reach.
  skyvern_fixture::ScopedPathEnv path("PATH", "/usr/bin:/bin");
  ScopedEnv shell("SHELL", "/bin/false");
  for (const char* brew :
       {"/opt/homebrew/bin/brew", "/usr/local/bin/brew", "/home/linuxbrew/.linuxbrew/bin/brew"}) {
    if (stdfs::exists(brew)) GTEST_SKIP() << "Homebrew is installed here: " << brew;
  }
  if (proc::find_in_path("brew", skyvern::skyvernPath())) GTEST_SKIP() << "brew on the path";
  Harness h;
  EXPECT_EQ(h.run("skyvern_install_docker").error(),
            "Homebrew is required to auto-install Docker. Install it once (see the log), then "
            "click Install Docker again.");
  h.statuses_after(2);
  Strings lines = h.progress();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "Homebrew is not installed. Install it once from a terminal:");
}

}  // namespace
}  // namespace vessa::testing
