// Shared pieces of the updater tests: minisign key pairs made at test time, archives, scripted
// alerts and an isolated updater environment (bundles and the server are shared fixtures).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fixtures/bundle.hpp"
#include "fixtures/fake_platform.hpp"
#include "fixtures/helpers.hpp"
#include "fixtures/http_server.hpp"
#include "fixtures/scripts.hpp"
#include "fixtures/temp_home.hpp"
#include "platform/services.hpp"
#include "support/lines.hpp"
#include "support/paths.hpp"
#include "support/subprocess.hpp"
#include "updater/minisign.hpp"
#include "updater/update_checker.hpp"

namespace vessa::testing {

/// Runs a tool to completion; fails the test when it cannot start or exits non-zero.
inline std::string run_tool(const std::vector<std::string>& argv) {
  proc::Options o;
  o.argv = argv;
  proc::RunOptions ro;
  ro.timeout = std::chrono::seconds(60);
  auto r = proc::run(o, ro);
  EXPECT_TRUE(r.has_value()) << argv[0];
  if (!r) return "";
  EXPECT_TRUE(r->status.success()) << argv[0] << ": " << r->err;
  return r->out;
}

/// A minisign key pair made in `dir` (no password).
struct KeyPair {
  std::string public_file;
  std::string secret_file;
  /// The base64 public key line.
  std::string public_key;

  static KeyPair make(const std::string& dir, const std::string& name = "key") {
    KeyPair k{dir + "/" + name + ".pub", dir + "/" + name + ".key", ""};
    run_tool({"minisign", "-G", "-W", "-p", k.public_file, "-s", k.secret_file});
    auto lines = split_lines(read_file(k.public_file));
    k.public_key = lines.size() > 1 ? lines[1] : "";
    return k;
  }

  /// Signs `file` and returns the signature file's text.
  std::string sign(const std::string& file, bool legacy = false) const {
    std::string sig = file + ".minisig";
    std::vector<std::string> argv = {"minisign", "-S", "-s", secret_file, "-m",
                                     file,       "-x", sig,  "-t",        "test release"};
    if (legacy) argv.push_back("-l");
    run_tool(argv);
    return read_file(sig);
  }
};

/// A process id that has just ended (and been reaped).
inline pid_t ended_pid() {
  proc::Options o;
  o.argv = {"/bin/true"};
  auto p = proc::Process::start(o);
  EXPECT_TRUE(p.has_value());
  if (!p) return 0;
  (*p)->wait();
  return (*p)->pid();
}

/// Stands in for the running application the installer waits for; ends when terminated.
inline std::shared_ptr<proc::Process> sleeping_app() {
  proc::Options o;
  o.argv = {test_child(), "sleep", "60000"};
  auto p = proc::Process::start(o);
  EXPECT_TRUE(p.has_value());
  return p ? *p : nullptr;
}

/// Base64 as update manifests carry signatures.
inline std::string base64(const std::string& text) {
  proc::Options o;
  o.argv = {"base64", "-w0"};
  o.in = proc::Stdio::pipe();
  proc::RunOptions ro;
  ro.input = text;
  auto r = proc::run(o, ro);
  return r ? r->out : "";
}

/// Alerts that record what was shown and answer from a script (button indexes, in order;
/// an empty script leaves the alert unanswered).
class ScriptedAlerts : public platform::Alerts {
 public:
  void show(const platform::Alert& alert, std::function<void(int)> done) override {
    std::lock_guard lock(mutex_);
    shown_.push_back(alert);
    if (!answers_.empty()) {
      int answer = answers_.front();
      answers_.pop_front();
      if (done) done(answer);
    }
  }
  bool ready_to_present() override { return ready; }

  void answer_with(std::initializer_list<int> answers) {
    std::lock_guard lock(mutex_);
    answers_.insert(answers_.end(), answers);
  }
  std::vector<platform::Alert> shown() const {
    std::lock_guard lock(mutex_);
    return shown_;
  }

  bool ready = true;

 private:
  mutable std::recursive_mutex mutex_;
  std::vector<platform::Alert> shown_;
  std::deque<int> answers_;
};

/// An isolated updater: own HOME, XDG folders and TMPDIR, a release server as download host, a
/// test key, a running "installed" bundle at <root>/apps/Vessa.app, fake alerts and URL opener.
class UpdaterEnv {
 public:
  explicit UpdaterEnv(const std::string& installed_version = "1.2.0")
      : key_(KeyPair::make(home_.path(), "release")),
        root_(home_.path()),
        installed_(root_ + "/apps/Vessa.app") {
    std::filesystem::create_directories(root_ + "/tmp");
    updater::set_release_public_key_for_testing(key_.public_key);
    write_versioned_bundle(installed_, installed_version, "echo old");
    running_.emplace(installed_ + "/bin/vessa");
    auto s = platform::services();
    s.alerts = alerts_;
    platform::set_services(s);
    updater::UpdateChecker::reset_for_testing();
  }
  ~UpdaterEnv() {
    updater::UpdateChecker::reset_for_testing();
    updater::UpdateChecker::set_terminate_handler({});
    updater::UpdateChecker::set_install_wait_pid_for_testing(0);
    updater::UpdateChecker::set_download_idle_limit_for_testing(std::chrono::seconds(60));
    updater::set_release_public_key_for_testing(std::nullopt);
  }
  UpdaterEnv(const UpdaterEnv&) = delete;
  UpdaterEnv& operator=(const UpdaterEnv&) = delete;

  /// Builds a release of `version`: bundle, archive at /<archive name>, its signature (base64
  /// in the manifest), manifest at /latest.json. Returns the manifest.
  json publish(const std::string& version, const std::string& notes = "") {
    std::string src = root_ + "/release-" + version;
    write_versioned_bundle(src + "/Vessa.app", version, "echo new");
    std::string archive = src + "/update.tar.gz";
    run_tool({"tar", "-czf", archive, "-C", src, "Vessa.app"});
    std::string sig = key_.sign(archive);
    std::string path = "/" + updater::archive_name();
    server_.serve(path, read_file(archive));
    json manifest = {
        {"version", "v" + version},
        {"notes", notes},
        {"platforms",
         {{updater::platform_key(), {{"url", server_.url(path)}, {"signature", base64(sig)}}}}}};
    server_.serve("/latest.json", manifest.dump());
    return manifest;
  }

  const std::string& root() const { return root_; }
  /// Where downloads are staged (the user's cache folder).
  std::string updates() const { return root_ + "/.cache/vessa/updates"; }
  const std::string& installed() const { return installed_; }
  HttpServer& server() { return server_; }
  const KeyPair& key() const { return key_; }
  std::shared_ptr<ScriptedAlerts> alerts() const { return alerts_; }
  std::shared_ptr<FakeUrlOpener> opener() const { return platform_.opener; }

 private:
  TempHome home_;
  FakePlatform platform_;
  HttpServer server_;
  ScopedEnv release_host_{"VESSA_RELEASE_HOST", server_.root()};
  KeyPair key_;
  std::shared_ptr<ScriptedAlerts> alerts_ = std::make_shared<ScriptedAlerts>();
  std::string root_;
  ScopedEnv tmpdir_{"TMPDIR", root_ + "/tmp"};
  std::string installed_;
  std::optional<ScopedExecutable> running_;
};

}  // namespace vessa::testing
