// The Skyvern lifecycle commands through the registry: installers, gate, start/stop, uninstall.
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include "commands/skyvern/skyvern_docker.hpp"
#include "skyvern_fixture.hpp"
#include "support/subprocess.hpp"

namespace vessa::testing {
namespace {

using skyvern_fixture::Harness;
using skyvern_fixture::SkyvernEnv;

const std::string kReal = std::string(VESSA_SOURCE_DIR) + "/resources/skyvern/";
const char* kDockerMissing =
    "Docker not found. Install Docker Desktop, start it, then click Install again.";
const char* kInstalling = "installing|Pulling Skyvern image and starting container\u2026";
const char* kInstallingDocker = "installing-docker|Setting up a Docker runtime (colima)\u2026";

TEST(SkyvernInstall, StreamsOutputAndAnswersWithTheLastNonBlankLine) {
  SkyvernEnv env;
  env.use_bundle({{"install-skyvern.sh",
                   "printf 'Pulling\\r\\n'\n"
                   "printf 'layer 10%%\\rlayer 20%%\\n'\n"
                   "printf 'bad \\377 byte\\n'\n"
                   "echo 'a warning' >&2\n"
                   "echo 'http://localhost:8123'\n"
                   "printf ' \\t\\n\\n'\n"
                   "printf '  '\n"}});
  Harness h;
  CommandResult r = h.run("skyvern_install");
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(r.value(), "http://localhost:8123");
  EXPECT_EQ(h.statuses_after(2), (std::vector<std::string>{kInstalling, "ready|Skyvern is up."}));
  std::vector<std::string> lines = h.app->progress_lines();
  std::vector<std::string> out;
  for (const auto& l : lines) {
    if (l.rfind("[docker] ", 0) != 0) out.push_back(l);
  }
  EXPECT_EQ(out,
            (std::vector<std::string>{"Pulling", "layer 10%\rlayer 20%", "bad \xEF\xBF\xBD byte",
                                      "http://localhost:8123", " \t", "", "  "}));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "[docker] a warning"), 1);
  EXPECT_EQ(lines.size(), out.size() + 1);
}

TEST(SkyvernInstall, OutcomesOfTheInstaller) {
  struct Case {
    const char* name;
    std::string script;
    bool ok;
    std::string answer;  // value or error
    std::vector<std::string> statuses;
  };
  const std::vector<Case> cases = {
      {"standard error only",
       "echo progress >&2\n",
       true,
       "",
       {kInstalling, "ready|Skyvern is up."}},
      {"no output at all", "exit 0\n", true, "", {kInstalling, "ready|Skyvern is up."}},
      {"exit status",
       "echo http://x\nexit 3\n",
       false,
       "Installer exited with status Some(3)",
       {kInstalling, "error|Installer exited with status Some(3)"}},
      {"killed by a signal",
       "kill -9 $$\n",
       false,
       "Installer exited with status None",
       {kInstalling, "error|Installer exited with status None"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SkyvernEnv env;
    env.use_bundle({{"install-skyvern.sh", c.script}});
    Harness h;
    CommandResult r = h.run("skyvern_install");
    EXPECT_EQ(r.ok(), c.ok);
    EXPECT_EQ(c.ok ? r.value().get<std::string>() : r.error(), c.answer);
    EXPECT_EQ(h.statuses_after(c.statuses.size()), c.statuses);
  }
}

TEST(SkyvernInstall, RunsWithTheStoppedDaemonButNotWithoutDocker) {
  {
    SkyvernEnv env;
    env.answer("info", 1);
    env.use_bundle({{"install-skyvern.sh", "echo \"$PATH\"\n"}});
    Harness h;
    CommandResult r = h.run("skyvern_install");
    ASSERT_TRUE(r.ok()) << r.error();
    EXPECT_EQ(r.value(), skyvern::skyvernPath());  // the script gets the docker search path
    EXPECT_TRUE(env.calls().empty());              // the daemon is not asked here
  }
  {
    SkyvernEnv env;
    std::string missing = env.home() + "/nowhere/docker";
    ::setenv("VESSA_DOCKER_BIN", missing.c_str(), 1);
    env.use_bundle({{"install-skyvern.sh", "touch \"$HOME/ran\"\n"}});
    Harness h;
    CommandResult r = h.run("skyvern_install");
    EXPECT_EQ(r.error(), kDockerMissing);
    EXPECT_EQ(h.statuses_after(1),
              std::vector<std::string>{std::string("docker-missing|") + kDockerMissing});
    EXPECT_FALSE(std::filesystem::exists(env.home() + "/ran"));
  }
}

TEST(SkyvernInstall, FindsScriptsInResourcesAndAncestorFolders) {
  {
    SkyvernEnv env;  // directly in Resources/
    env.use_bundle({{"install-skyvern.sh", "echo from-resources\n"}}, "");
    Harness h;
    EXPECT_EQ(h.run("skyvern_install").value(), "from-resources");
  }
  {
    SkyvernEnv env;  // no bundle: a development checkout above the executable
    write_file(env.home() + "/apps/desktop/skyvern/install-skyvern.sh", "echo from-checkout\n");
    paths::set_executable_path_for_testing(env.home() + "/a/b/c/d/vessa");
    Harness h;
    EXPECT_EQ(h.run("skyvern_install").value(), "from-checkout");
  }
  {
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
}

TEST(SkyvernInstall, GateRefusesASecondInstallOfEitherKindWhileOneRuns) {
  SkyvernEnv env;
  const std::string release = env.home() + "/release";
  env.use_bundle({{"install-skyvern.sh",
                   "for i in $(seq 1 200); do [ -f \"$HOME/release\" ] && break; sleep 0.05; done\n"
                   "echo done\n"},
                  {"install-docker.sh", "exit 0\n"}});
  env.answer("info", 0);
  Harness h;
  std::optional<CommandResult> first;
  std::mutex m;
  h.registry->dispatch("skyvern_install", json::object(), [&](const CommandResult& r) {
    std::lock_guard lock(m);
    first = r;
  });
  // Refused at once, on the dispatching thread.
  for (const char* cmd : {"skyvern_install", "skyvern_install_docker"}) {
    std::optional<CommandResult> second;
    h.registry->dispatch(cmd, json::object(), [&](const CommandResult& r) { second = r; });
    ASSERT_TRUE(second) << cmd;
    EXPECT_EQ(second->error(), "An install is already in progress.");
  }
  // The commands without the gate still answer.
  env.answer("stop", 0);
  EXPECT_EQ(h.run("skyvern_stop").value(), "stopped");

  write_file(release, "");
  ASSERT_TRUE(run_until([&] {
    std::lock_guard lock(m);
    return first.has_value();
  }));
  EXPECT_EQ(first->value(), "done");
  // The gate is open again by the time the outcome is known.
  EXPECT_EQ(h.run("skyvern_install_docker").value(), "Docker is already running.");
}

TEST(SkyvernInstallDocker, OutcomesOfTheDockerInstaller) {
  struct Case {
    const char* name;
    std::string script;
    bool ok;
    std::string answer;
    std::vector<std::string> statuses;
  };
  const std::string incomplete = "Docker setup did not complete (exit ";
  const std::string homebrew =
      "Homebrew is required to auto-install Docker. Install it once (see the log), then click "
      "Install Docker again.";
  const std::vector<Case> cases = {
      {"docker comes up",
       "echo 0 > \"$HOME/fake/info.code\"\n",
       true,
       "docker-ready",
       {kInstallingDocker, "docker-ready|Docker is ready. You can install Skyvern now."}},
      {"homebrew missing", "exit 10\n", false, homebrew, {kInstallingDocker, "error|" + homebrew}},
      {"failure",
       "exit 1\n",
       false,
       incomplete + "Some(1)). See the log above.",
       {kInstallingDocker, "error|" + incomplete + "Some(1)). See the log above."}},
      {"success while docker still fails",
       "exit 0\n",
       false,
       incomplete + "Some(0)). See the log above.",
       {kInstallingDocker, "error|" + incomplete + "Some(0)). See the log above."}},
      {"killed",
       "kill -TERM $$\n",
       false,
       incomplete + "None). See the log above.",
       {kInstallingDocker, "error|" + incomplete + "None). See the log above."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SkyvernEnv env;
    env.answer("info", 1);
    env.use_bundle({{"install-docker.sh", c.script}});
    Harness h;
    CommandResult r = h.run("skyvern_install_docker");
    EXPECT_EQ(r.ok(), c.ok);
    EXPECT_EQ(c.ok ? r.value().get<std::string>() : r.error(), c.answer);
    EXPECT_EQ(h.statuses_after(c.statuses.size()), c.statuses);
  }
}

TEST(SkyvernInstallDocker, RunningDockerNeedsNoInstaller) {
  SkyvernEnv env;
  env.answer("info", 0);
  env.use_bundle({{"install-docker.sh", "touch \"$HOME/ran\"\n"}});
  Harness h;
  EXPECT_EQ(h.run("skyvern_install_docker").value(), "Docker is already running.");
  EXPECT_TRUE(h.statuses_after(0).empty());
  EXPECT_FALSE(std::filesystem::exists(env.home() + "/ran"));
}

TEST(SkyvernStartStop, MessagesAndEvents) {
  struct Case {
    const char* cmd;
    const char* verb;
    std::string value;
    std::string status;
  };
  for (const Case& c :
       {Case{"skyvern_start", "start", "started", "ready|Skyvern started."},
        Case{"skyvern_stop", "stop", "stopped", "not-installed|Skyvern stopped."}}) {
    SCOPED_TRACE(c.cmd);
    SkyvernEnv env;
    Harness h;
    env.answer(c.verb, 0);
    EXPECT_EQ(h.run(c.cmd).value(), c.value);
    EXPECT_EQ(h.statuses_after(1), std::vector<std::string>{c.status});
    EXPECT_EQ(env.calls(), std::vector<std::string>{std::string(c.verb) + " vessa-skyvern"});

    env.answer(c.verb, 1);
    EXPECT_EQ(h.run(c.cmd).error(), std::string("docker ") + c.verb + " exited Some(1)");
    EXPECT_EQ(h.statuses_after(1).size(), 1U);  // no event for a failure

    std::string missing = env.home() + "/gone/docker";
    ::setenv("VESSA_DOCKER_BIN", missing.c_str(), 1);
    EXPECT_EQ(h.run(c.cmd).error(),
              std::string("docker ") + c.verb + " failed: could not run " + missing);
  }
}

TEST(SkyvernUninstall, RemovesTheContainerAndTheSettingsFolder) {
  for (bool with_settings : {true, false}) {
    SCOPED_TRACE(with_settings ? "with settings" : "without settings");
    SkyvernEnv env;
    env.answer("rm", 1);  // no such container: ignored
    if (with_settings) {
      write_file(env.settings_dir() + "/skyvern.env", "SKYVERN_PORT=8000\n");
      write_file(env.settings_dir() + "/data/deep/file", "x");
    }
    Harness h;
    EXPECT_EQ(h.run("skyvern_uninstall").value(), "uninstalled");
    EXPECT_FALSE(std::filesystem::exists(env.settings_dir()));
    EXPECT_EQ(h.statuses_after(1),
              std::vector<std::string>{"not-installed|Skyvern container removed and data wiped."});
    EXPECT_EQ(env.calls(), std::vector<std::string>{"rm -f vessa-skyvern"});
  }
}

TEST(SkyvernUninstall, SettingsLinkIsRemovedWithoutTouchingItsTarget) {
  SkyvernEnv env;
  write_file(env.home() + "/elsewhere/keep", "x");
  std::filesystem::create_symlink(env.home() + "/elsewhere", env.settings_dir());
  Harness h;
  EXPECT_EQ(h.run("skyvern_uninstall").value(), "uninstalled");
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(env.settings_dir())));
  EXPECT_TRUE(std::filesystem::exists(env.home() + "/elsewhere/keep"));
}

// The shipped installer, run against the fake docker.
TEST(SkyvernScripts, InstallerWritesPrivateSettingsAndStartsTheContainer) {
  SkyvernEnv env;
  env.use_bundle({{"install-skyvern.sh", read_file(kReal + "install-skyvern.sh")}});
  env.answer("info", 0);
  env.answer("pull", 0, "latest: Pulling from skyvern/skyvern\nStatus: Downloaded newer image\n");
  env.answer("ps", 0, "");
  env.answer("inspect", 0, "true\n");
  Harness h;
  CommandResult r = h.run("skyvern_install");
  ASSERT_TRUE(r.ok()) << r.error();

  const std::string env_file = env.settings_dir() + "/skyvern.env";
  struct stat st {};
  ASSERT_EQ(::stat(env_file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600);
  std::string text = read_file(env_file);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      text, m, std::regex("SKYVERN_PORT=([0-9]+)\nSKYVERN_API_KEY=([0-9a-f]{64})\n")))
      << text;
  const std::string port = m[1];
  const std::string key = m[2];
  EXPECT_EQ(r.value(), "http://localhost:" + port);
  auto lines = h.app->progress_lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Status: Downloaded newer image"), lines.end());
  for (const auto& l : lines) EXPECT_EQ(l.find(key), std::string::npos) << "key shown: " << l;

  auto calls = env.calls();
  ASSERT_EQ(calls.size(), 6U);
  EXPECT_EQ(calls[0], "info");
  EXPECT_EQ(calls[1], "pull public.ecr.aws/skyvern/skyvern:latest");
  EXPECT_EQ(calls[3], "create --name vessa-skyvern --restart unless-stopped -p 127.0.0.1:" + port +
                          ":8000 --env-file " + env_file + " -v " + env.settings_dir() +
                          "/data:/data public.ecr.aws/skyvern/skyvern:latest");
  EXPECT_EQ(calls[4], "start vessa-skyvern");
  EXPECT_EQ(calls[5], "inspect -f {{.State.Running}} vessa-skyvern");

  // The status now reports the installed service.
  env.answer("ps", 0, "running\n");
  json s = h.run("skyvern_status").value();
  EXPECT_EQ(s["endpoint"], "http://localhost:" + port);
  EXPECT_EQ(s["has_api_key"], true);
  EXPECT_EQ(s["container_running"], true);

  // A reinstall replaces the container and keeps the port and key.
  env.answer("ps", 0, "vessa-skyvern\n");
  CommandResult again = h.run("skyvern_install");
  ASSERT_TRUE(again.ok()) << again.error();
  EXPECT_EQ(again.value(), r.value());
  EXPECT_EQ(read_file(env_file), text);
  EXPECT_NE(std::find(env.calls().begin(), env.calls().end(), "rm -f vessa-skyvern"),
            env.calls().end());
}

TEST(SkyvernScripts, InstallerFailsWhenTheContainerDoesNotRun) {
  SkyvernEnv env;
  env.use_bundle({{"install-skyvern.sh", read_file(kReal + "install-skyvern.sh")}});
  env.answer("info", 0);
  env.answer("inspect", 0, "false\n");
  Harness h;
  EXPECT_EQ(h.run("skyvern_install").error(), "Installer exited with status Some(1)");
  auto lines = h.app->progress_lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind("[docker] The vessa-skyvern container did not stay running", 0), 0U)
      << lines.back();
}

TEST(SkyvernScripts, DockerInstallerReportsMissingHomebrew) {
  for (const char* brew :
       {"/opt/homebrew/bin/brew", "/usr/local/bin/brew", "/home/linuxbrew/.linuxbrew/bin/brew"}) {
    if (std::filesystem::exists(brew)) GTEST_SKIP() << "Homebrew is installed here: " << brew;
  }
  SkyvernEnv env;
  env.use_bundle({{"install-docker.sh", read_file(kReal + "install-docker.sh")}});
  env.answer("info", 1);
  // Keep any brew of the inherited PATH or the login shell's out of the script's reach.
  skyvern_fixture::ScopedEnv path("PATH", "/usr/bin:/bin");
  skyvern_fixture::ScopedEnv shell("SHELL", "/bin/false");
  if (proc::find_in_path("brew", skyvern::skyvernPath())) GTEST_SKIP() << "brew on the path";
  Harness h;
  CommandResult r = h.run("skyvern_install_docker");
  EXPECT_EQ(r.error(),
            "Homebrew is required to auto-install Docker. Install it once (see the log), then "
            "click Install Docker again.");
  run_until([&] { return h.app->statuses().size() >= 2; });
  auto lines = h.app->progress_lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "Homebrew is not installed. Install it once from a terminal:");
}

}  // namespace
}  // namespace vessa::testing
