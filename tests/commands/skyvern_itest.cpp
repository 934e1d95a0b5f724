// Docker discovery and the Skyvern commands through the registry, against a fake docker.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>
#include <set>
#include <sstream>

#include "commands/commands_test_support.hpp"
#include "commands/skyvern/skyvern_docker.hpp"
#include "fixtures/bundle.hpp"
#include "fixtures/recording_app.hpp"
#include "fixtures/scripts.hpp"
#include "support/lines.hpp"
#include "support/subprocess.hpp"

namespace vessa::testing {
namespace {

using commands::CommandResult;
namespace sk = commands::skyvern;
namespace stdfs = std::filesystem;
using Strings = std::vector<std::string>;

const std::string kReal = std::string(VESSA_SOURCE_DIR) + "/resources/skyvern/";
const std::string kDockerMissing =
    "Docker not found. Install Docker Desktop, start it, then click Install again.";
const std::string kInstalling = "installing|Pulling Skyvern image and starting container\u2026";
const std::string kInstallingDocker =
    "installing-docker|Setting up a Docker runtime (colima)\u2026";
const std::string kReady = "ready|Skyvern is up.";

// A docker stand-in: records each call's arguments in calls.log (one line, space-joined) and
// answers sub-command S from the files S.out (printed) and S.code (exit status).
const char* kFakeDocker = R"SH(dir="$(cd "$(dirname "$0")" && pwd)"
printf '%s\n' "$*" >> "$dir/calls.log"
sub="$1"
[ -f "$dir/$sub.out" ] && cat "$dir/$sub.out"
exit "$(cat "$dir/$sub.code" 2>/dev/null || echo 0)")SH";

/// Sets an environment variable for one scope and forgets the kept docker search path on both
/// ends, so the path is computed from the variable while it holds.
struct ScopedPathEnv {
  ScopedPathEnv(const char* name, const std::string& value) : env(name, value) {
    sk::reset_skyvern_path_for_testing();
  }
  ~ScopedPathEnv() { sk::reset_skyvern_path_for_testing(); }
  ScopedEnv env;
};

/// A fresh HOME with a fake docker selected through VESSA_DOCKER_BIN, and a registry whose
/// events land in a RecordingApp; restores everything.
struct SkyvernEnv : HomeAndApp<RecordingApp>, Commands {
  SkyvernEnv() : Commands(app_) {
    write_script(docker(), kFakeDocker, "#!/bin/bash");
    use_docker(docker());
  }

  const std::string& home() const { return home_.path(); }
  std::string docker() const { return fake_dir_ + "/docker"; }
  std::string settings_dir() const { return home() + "/.vessa-skyvern"; }
  void use_docker(const std::string& program) { docker_.emplace("VESSA_DOCKER_BIN", program); }

  /// Sets how the fake answers `sub`: its exit status and what it prints.
  void respond(const std::string& sub, int code, const std::string& out = "") const {
    write_file(fake_dir_ + "/" + sub + ".code", std::to_string(code));
    write_file(fake_dir_ + "/" + sub + ".out", out);
  }
  /// The recorded docker calls, one per entry.
  Strings calls() const { return split_lines(read_file(fake_dir_ + "/calls.log")); }

  /// Makes the running program look like `<home>/Bundle.app/bin/vessa` of a bundle whose
  /// Resources/<subdir>/ holds `scripts` (name, content).
  void use_bundle(const BundleFiles& scripts, const std::string& subdir = "skyvern/") {
    BundleFiles files;
    for (const auto& [name, content] : scripts)
      files.emplace_back("Resources/" + subdir + name, content);
    running_.emplace(write_bundle(home() + "/Bundle.app", files) + "/bin/vessa");
  }
  void run_from(const std::string& executable) { running_.emplace(executable); }

  Strings progress() const { return app_->lines("skyvern-install-progress"); }
  /// The status events once `n` have arrived (waiting a little for stragglers).
  Strings statuses_after(size_t n) {
    run_until([&] { return app_->statuses("skyvern-status").size() >= n; },
              std::chrono::seconds(5));
    run_until([] { return false; }, std::chrono::milliseconds(50));
    return app_->statuses("skyvern-status");
  }

  std::string fake_dir_ = home_.path() + "/fake";
  std::optional<ScopedEnv> docker_;
  std::optional<ScopedExecutable> running_;
};

TEST(SkyvernDocker, ConfiguredProgramIsUsedUncheckedAndReportedMissing) {
  SkyvernEnv env;
  const std::string missing = env.home() + "/no/such/docker";
  env.use_docker(missing);
  EXPECT_EQ(sk::skyvernDockerBin(), missing);
  EXPECT_FALSE(sk::skyvernDockerOnPath());
  EXPECT_FALSE(sk::skyvernDockerRunning());  // cannot start: counts as not running
  write_file(env.settings_dir() + "/skyvern.env", "SKYVERN_PORT=8123\nSKYVERN_API_KEY=k\n");
  EXPECT_EQ(sk::skyvern_status_snapshot(), json::parse(R"({"docker_available": false,
    "docker_running": false, "container_exists": false, "container_running": false,
    "endpoint": "http://localhost:8123", "has_api_key": true, "supported_os": true})"));
}

TEST(SkyvernDocker, BareProgramNameRunsThroughEnvOnTheSearchPath) {
  SkyvernEnv env;
  env.use_docker("docker");
  proc::Options o = sk::skyvernDockerProcess({"ps", "-a"});
  EXPECT_EQ(o.argv, (std::vector<std::string>{"/usr/bin/env", "docker", "ps", "-a"}));
  ASSERT_TRUE(o.env);
  EXPECT_EQ(o.env->at("PATH"), sk::skyvernPath());
  EXPECT_EQ(o.env->at("HOME"), env.home());
  // The fake's folder reaches the search path through the inherited PATH.
  ScopedPathEnv path("PATH", env.home() + "/fake:/usr/bin:/bin");
  EXPECT_TRUE(sk::skyvernDockerOnPath());
}

TEST(SkyvernDocker, SearchPathHasEachFolderOnceAndIsKept) {
  SkyvernEnv env;
  sk::reset_skyvern_path_for_testing();
  const std::string path = sk::skyvernPath();
  std::stringstream in(path);
  std::set<std::string> unique;
  size_t pieces = 0;
  for (std::string piece; std::getline(in, piece, ':'); ++pieces) unique.insert(piece);
  EXPECT_EQ(unique.size(), pieces) << "repeated folder in " << path;
  EXPECT_EQ(unique.count(""), 0U);
  EXPECT_EQ(unique.count(env.home() + "/.docker/bin"), 1U);
  TempHome other;  // computed once: a later HOME does not change it
  EXPECT_EQ(sk::skyvernPath(), path);
  sk::reset_skyvern_path_for_testing();
}

// Through the page's route: docker info's and docker ps's exit status and output; whether the
// container exists and runs. A stopped daemon is not asked about the container.
TEST(SkyvernDocker, StatusReadsTheFirstStateLine) {
  const std::tuple<int, int, std::string, bool, bool> cases[] = {
      {0, 0, "  Running \n", true, true},
      {0, 0, "exited\nrunning\n", true, false},
      {0, 0, "", false, false},
      {0, 1, "running\n", false, false},
      {0, 0, "running\xff\n", false, false},  // undecodable
      {1, 0, "running\n", false, false},
  };
  for (const auto& [info_code, ps_code, ps_out, exists, running] : cases) {
    SCOPED_TRACE(ps_out + std::to_string(info_code));
    SkyvernEnv env;
    env.respond("info", info_code);
    env.respond("ps", ps_code, ps_out);
    json s = env.run("skyvern_status").value();
    EXPECT_EQ(json({s["docker_available"], s["docker_running"], s["container_exists"],
                    s["container_running"]}),
              json({true, info_code == 0, exists, running}));
    const Strings asked = {"info", "ps -a --filter name=vessa-skyvern --format {{.State}}"};
    EXPECT_EQ(env.calls(), info_code != 0 ? Strings{"info"} : asked);
  }
}

TEST(SkyvernInstall, StreamsOutputAndAnswersWithTheLastNonBlankLine) {
  SkyvernEnv env;
  // How bytes become lines is the line stream's unit test.
  env.use_bundle({{"install-skyvern.sh",
                   "echo Pulling\necho 'a warning' >&2\necho 'http://localhost:8123'\n"
                   "printf ' \\t\\n\\n  '\n"}});
  EXPECT_EQ(env.ok("skyvern_install"), "http://localhost:8123");
  EXPECT_EQ(env.statuses_after(2), (Strings{kInstalling, kReady}));
  Strings lines = env.progress(), out = lines;
  std::erase_if(out, [](const std::string& l) { return l.starts_with("[docker] "); });
  EXPECT_EQ(out, (Strings{"Pulling", "http://localhost:8123", " \t", "", "  "}));
  EXPECT_EQ(lines.size(), out.size() + 1);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "[docker] a warning"), 1);
}

// Each installer's answer and its statuses: the announcement, then how it ended. An answer
// starting with "!" is a failure, whose message is also the closing "error|" status.
TEST(SkyvernInstall, OutcomesOfBothInstallers) {
  const std::string docker_ready = "docker-ready|Docker is ready. You can install Skyvern now.";
  // Whether it is the docker installer (which runs with the daemon stopped); script; answer.
  const std::tuple<bool, std::string, std::string> cases[] = {
      {false, "echo progress >&2", ""},
      {false, "echo http://x\nexit 3", "!Installer exited with status Some(3)"},
      {false, "kill -9 $$", "!Installer exited with status None"},
      {true, "echo 0 > \"$HOME/fake/info.code\"", "docker-ready"},
      {true, "exit 10",
       "!Homebrew is required to auto-install Docker. Install it once (see the log), then click "
       "Install Docker again."},
      {true, "exit 0", "!Docker setup did not complete (exit Some(0)). See the log above."},
  };
  for (const auto& [docker, script, answer] : cases) {
    SCOPED_TRACE(script);
    SkyvernEnv env;
    env.respond("info", docker ? 1 : 0);
    env.use_bundle({{docker ? "install-docker.sh" : "install-skyvern.sh", script}});
    EXPECT_EQ(env.answer(docker ? "skyvern_install_docker" : "skyvern_install"), answer);
    const bool failed = answer.starts_with("!");
    EXPECT_EQ(env.statuses_after(2), (Strings{docker ? kInstallingDocker : kInstalling,
                                              failed   ? "error|" + answer.substr(1)
                                              : docker ? docker_ready
                                                       : kReady}));
  }
}

TEST(SkyvernInstall, RunsWithTheStoppedDaemonButNotWithoutDocker) {
  {
    SkyvernEnv env;
    env.respond("info", 1);
    env.use_bundle({{"install-skyvern.sh", "echo \"$PATH\"\n"}});
    EXPECT_EQ(env.run("skyvern_install").value(), sk::skyvernPath());  // the search path
    EXPECT_TRUE(env.calls().empty());  // the daemon is not asked here
  }
  SkyvernEnv env;
  env.use_docker(env.home() + "/nowhere/docker");
  env.use_bundle({{"install-skyvern.sh", "touch \"$HOME/ran\"\n"}});
  EXPECT_EQ(env.run("skyvern_install").error(), kDockerMissing);
  EXPECT_EQ(env.statuses_after(1), Strings{"docker-missing|" + kDockerMissing});
  EXPECT_FALSE(stdfs::exists(env.home() + "/ran"));
}

TEST(SkyvernInstall, FindsScriptsInResourcesAndAncestorFolders) {
  {
    SkyvernEnv env;  // directly in Resources/
    env.use_bundle({{"install-skyvern.sh", "echo from-resources\n"}}, "");
    EXPECT_EQ(env.run("skyvern_install").value(), "from-resources");
  }
  {
    SkyvernEnv env;  // no bundle: a development checkout above the executable
    write_file(env.home() + "/apps/desktop/skyvern/install-skyvern.sh", "echo from-checkout\n");
    env.run_from(env.home() + "/a/b/c/d/vessa");
    EXPECT_EQ(env.run("skyvern_install").value(), "from-checkout");
  }
  SkyvernEnv env;  // nothing anywhere: no event, just the message
  env.use_bundle({});
  env.respond("info", 1);
  EXPECT_EQ(env.run("skyvern_install").error(),
            "install-skyvern.sh not found (checked Resources/skyvern, Resources, and ancestor "
            "dirs)");
  EXPECT_EQ(env.run("skyvern_install_docker").error(),
            "install-docker.sh not found (checked resources + ancestor dirs)");
  EXPECT_TRUE(env.statuses_after(0).empty());
}

TEST(SkyvernInstall, GateRefusesASecondInstallOfEitherKindWhileOneRuns) {
  SkyvernEnv env;
  env.use_bundle({{"install-skyvern.sh",
                   "for i in $(seq 1 200); do [ -f \"$HOME/release\" ] && break; sleep 0.05; done\n"
                   "echo done\n"},
                  {"install-docker.sh", "touch \"$HOME/ran\"\n"}});
  env.respond("info", 0);
  env.respond("stop", 0);
  Pending first;
  env.registry->dispatch("skyvern_install", json::object(), first.completion());
  // Refused at once, on the dispatching thread.
  for (const char* cmd : {"skyvern_install", "skyvern_install_docker"}) {
    std::optional<CommandResult> second;
    env.registry->dispatch(cmd, json::object(), [&](const CommandResult& r) { second = r; });
    ASSERT_TRUE(second) << cmd;
    EXPECT_EQ(second->error(), "An install is already in progress.");
  }
  EXPECT_EQ(env.run("skyvern_stop").value(), "stopped");  // commands without the gate still answer

  write_file(env.home() + "/release", "");
  ASSERT_TRUE(run_until([&] { return first.done(); }));
  EXPECT_EQ(first.result().value(), "done");
  // The gate is open again by the time the outcome is known; a running docker needs no
  // installer, and gets no status.
  EXPECT_EQ(env.run("skyvern_install_docker").value(), "Docker is already running.");
  EXPECT_FALSE(stdfs::exists(env.home() + "/ran"));
  EXPECT_EQ(env.statuses_after(3),
            (Strings{kInstalling, "not-installed|Skyvern stopped.", kReady}));
}

TEST(SkyvernStartStop, MessagesAndEvents) {
  for (const auto& [cmd, verb, value, status] :
       {std::tuple{"skyvern_start", "start", "started", "ready|Skyvern started."},
        std::tuple{"skyvern_stop", "stop", "stopped", "not-installed|Skyvern stopped."}}) {
    SCOPED_TRACE(cmd);
    SkyvernEnv env;
    env.respond(verb, 0);
    EXPECT_EQ(env.run(cmd).value(), value);
    EXPECT_EQ(env.statuses_after(1), Strings{status});
    EXPECT_EQ(env.calls(), Strings{std::string(verb) + " vessa-skyvern"});

    env.respond(verb, 1);
    EXPECT_EQ(env.run(cmd).error(), std::string("docker ") + verb + " exited Some(1)");
    EXPECT_EQ(env.statuses_after(1).size(), 1U);  // no event for a failure

    env.use_docker(env.home() + "/gone/docker");
    EXPECT_EQ(env.run(cmd).error(), std::string("docker ") + verb + " failed: could not run " +
                                        env.home() + "/gone/docker");
  }
}

// The settings folder goes, or only the link when it is one; a missing container is no error.
TEST(SkyvernUninstall, RemovesTheContainerAndTheSettingsFolder) {
  for (const char* settings : {"folder", "link", "none"}) {
    SCOPED_TRACE(settings);
    SkyvernEnv env;
    env.respond("rm", 1);  // no such container: ignored
    write_file(env.home() + "/elsewhere/keep", "x");
    if (settings == std::string("folder")) write_file(env.settings_dir() + "/data/deep/file", "x");
    if (settings == std::string("link")) {
      stdfs::create_symlink(env.home() + "/elsewhere", env.settings_dir());
    }
    EXPECT_EQ(env.run("skyvern_uninstall").value(), "uninstalled");
    EXPECT_FALSE(stdfs::exists(stdfs::symlink_status(env.settings_dir())));
    EXPECT_TRUE(stdfs::exists(env.home() + "/elsewhere/keep"));
    EXPECT_EQ(env.statuses_after(1),
              Strings{"not-installed|Skyvern container removed and data wiped."});
    EXPECT_EQ(env.calls(), Strings{"rm -f vessa-skyvern"});
  }
}

TEST(SkyvernScripts, InstallerWritesPrivateSettingsAndStartsTheContainer) {
  SkyvernEnv env;
  env.use_bundle({{"install-skyvern.sh", read_file(kReal + "install-skyvern.sh")}});
  env.respond("pull", 0, "Status: Downloaded newer image\n");
  env.respond("inspect", 0, "true\n");
  const json url = env.ok("skyvern_install");

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
  EXPECT_EQ(url, "http://localhost:" + port);
  Strings lines = env.progress();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Status: Downloaded newer image"), lines.end());
  for (const auto& l : lines) EXPECT_EQ(l.find(key), std::string::npos) << "key shown: " << l;
  Strings calls = env.calls();
  ASSERT_EQ(calls.size(), 6U);
  EXPECT_EQ(calls[3], "create --name vessa-skyvern --restart unless-stopped -p 127.0.0.1:" + port +
                          ":8000 --env-file " + env_file + " -v " + env.settings_dir() +
                          "/data:/data public.ecr.aws/skyvern/skyvern:latest");
  EXPECT_EQ(calls[4], "start vessa-skyvern");

  // A reinstall replaces the container and keeps the port and key.
  env.respond("ps", 0, "vessa-skyvern\n");
  EXPECT_EQ(env.run("skyvern_install").value(), url);
  EXPECT_EQ(read_file(env_file), text);
  calls = env.calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "rm -f vessa-skyvern"), calls.end());
}

TEST(SkyvernScripts, InstallerFailsWhenTheContainerDoesNotRun) {
  SkyvernEnv env;
  env.use_bundle({{"install-skyvern.sh", read_file(kReal + "install-skyvern.sh")}});
  env.respond("inspect", 0, "false\n");
  EXPECT_EQ(env.run("skyvern_install").error(), "Installer exited with status Some(1)");
  Strings lines = env.progress();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind("[docker] The vessa-skyvern container did not stay running", 0), 0U)
      << lines.back();
}

TEST(SkyvernScripts, DockerInstallerReportsMissingHomebrew) {
  SkyvernEnv env;
  env.use_bundle({{"install-docker.sh", read_file(kReal + "install-docker.sh")}});
  env.respond("info", 1);
  // Keep any brew of the inherited PATH or the login shell's out of the script's reach.
  ScopedPathEnv path("PATH", "/usr/bin:/bin");
  ScopedEnv shell("SHELL", "/bin/false");
  for (const char* brew :
       {"/opt/homebrew/bin/brew", "/usr/local/bin/brew", "/home/linuxbrew/.linuxbrew/bin/brew"}) {
    if (stdfs::exists(brew)) GTEST_SKIP() << "Homebrew is installed here: " << brew;
  }
  if (proc::find_in_path("brew", sk::skyvernPath())) GTEST_SKIP() << "brew on the path";
  EXPECT_EQ(env.run("skyvern_install_docker").error(),
            "Homebrew is required to auto-install Docker. Install it once (see the log), then "
            "click Install Docker again.");
  env.statuses_after(2);
  Strings lines = env.progress();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "Homebrew is not installed. Install it once from a terminal:");
}

}  // namespace
}  // namespace vessa::testing
