// Installing a staged bundle: the in-place target, the quit observer and the swap script.
#include <unistd.h>

#include <atomic>

#include "support/lifecycle.hpp"
#include "support/log.hpp"
#include "support/paths.hpp"
#include "support/shell_quote.hpp"
#include "support/subprocess.hpp"
#include "updater/update_checker.hpp"

namespace vessa::updater {
namespace {

std::atomic<pid_t> g_wait_pid{0};

}  // namespace

std::optional<std::filesystem::path> UpdateChecker::installTargetURL() {
  auto bundle = paths::bundle_dir();
  if (!bundle) return std::nullopt;
  if (::access(bundle->parent_path().c_str(), W_OK) != 0) return std::nullopt;
  return bundle;
}

std::string UpdateChecker::installScript(pid_t pid, const std::filesystem::path& newApp,
                                         const std::filesystem::path& target, bool relaunch) {
  // The old bundle is moved aside, not deleted, until the new one is in place: a failed move
  // (another file system, a full disk) puts it back instead of leaving no application.
  std::string s;
  s += "while kill -0 " + std::to_string(pid) + " 2>/dev/null; do /bin/sleep 0.3; done\n";
  s += "new=" + shell_quote(newApp.string()) + "\n";
  s += "target=" + shell_quote(target.string()) + "\n";
  s += "/bin/rm -rf \"$target.updating\" \"$target.previous\"\n";
  s += "/bin/mv \"$new\" \"$target.updating\" || { /bin/rm -rf \"$target.updating\"; exit 1; }\n";
  s += "/bin/mv \"$target\" \"$target.previous\" || { /bin/rm -rf \"$target.updating\"; exit 1; "
       "}\n";
  s += "/bin/mv \"$target.updating\" \"$target\" || { /bin/mv \"$target.previous\" \"$target\"; "
       "exit 1; }\n";
  s += "/bin/rm -rf \"$target.previous\"\n";
  s += relaunch ? "\"$target/bin/vessa\" </dev/null >/dev/null 2>&1 &" : ":";
  return s;
}

void UpdateChecker::installOnExit(const std::filesystem::path& newApp, bool relaunch) {
  auto target = installTargetURL();
  if (!target) return;
  pid_t pid = g_wait_pid.load() != 0 ? g_wait_pid.load() : ::getpid();
  proc::Options options;
  options.argv = {"/bin/sh", "-c", installScript(pid, newApp, *target, relaunch)};
  options.in = proc::Stdio::null();
  options.out = proc::Stdio::null();
  options.err = proc::Stdio::null();
  // Its own group: signals aimed at the application's group do not reach the installer.
  options.new_process_group = true;
  options.die_with_parent = false;  // it swaps the bundle once we have exited
  (void)proc::Process::start(options);
  vessa::log(std::string("installer helper spawned (relaunch=") + (relaunch ? "true" : "false") +
             ") — updating on exit");
}

void UpdateChecker::installQuitObserver() {
  if (state().quitObserverInstalled) return;
  state().quitObserverInstalled = true;
  lifecycle::on_will_terminate([] {
    if (auto app = state().preparedAppURL) installOnExit(*app, false);
  });
}

void UpdateChecker::setInstallWaitPidForTesting(pid_t pid) { g_wait_pid = pid; }

}  // namespace vessa::updater
