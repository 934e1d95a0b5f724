// Installing a staged bundle: the in-place target, the quit observer and the swap script.
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "support/fs.hpp"
#include "support/lifecycle.hpp"
#include "support/log.hpp"
#include "support/paths.hpp"
#include "support/shell_quote.hpp"
#include "support/subprocess.hpp"
#include "updater/staged_tree.hpp"
#include "updater/update_checker.hpp"

namespace vessa::updater {
namespace {

std::atomic<pid_t> g_wait_pid{0};

std::mutex g_kind_mutex;
std::optional<InstallKind> g_kind;

// True when the package manager `argv[0]` (looked up in PATH) says it owns the file.
bool package_owns(std::vector<std::string> argv) {
  proc::Options options;
  options.argv = std::move(argv);
  options.out = proc::Stdio::null();
  options.err = proc::Stdio::null();
  proc::RunOptions limit;
  limit.timeout = std::chrono::seconds(10);
  auto run = proc::run(options, limit);
  return run && run->status.success();
}

InstallKind detect_install_kind() {
  auto bundle = paths::bundle_dir();
  if (!bundle) return InstallKind::kNone;
  const std::string exe = (*bundle / "bin" / "vessa").string();
  // dpkg-query reads its argument as a pattern; such a path cannot be a packaged one anyway.
  if (exe.find_first_of("*?[]\\") == std::string::npos) {
    if (package_owns({"dpkg-query", "-S", exe})) return InstallKind::kDeb;
    if (package_owns({"rpm", "-qf", "--quiet", exe})) return InstallKind::kRpm;
  }
  return ::access(bundle->parent_path().c_str(), W_OK) == 0 ? InstallKind::kWritable
                                                            : InstallKind::kReadOnly;
}

}  // namespace

InstallKind UpdateChecker::install_kind() {
  std::scoped_lock lock(g_kind_mutex);
  if (!g_kind) g_kind = detect_install_kind();
  return *g_kind;
}

std::optional<std::filesystem::path> UpdateChecker::installTargetURL() {
  // A packaged copy belongs to its package manager, even for a user who could write there.
  if (install_kind() != InstallKind::kWritable) return std::nullopt;
  return paths::bundle_dir();
}

void UpdateChecker::reset_for_testing() {
  bool observer = state().quitObserverInstalled;
  state() = UpdaterState{};
  state().quitObserverInstalled = observer;
  std::scoped_lock lock(g_kind_mutex);
  g_kind.reset();
}

std::string UpdateChecker::install_script(pid_t pid, const std::filesystem::path& newApp,
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
  // The staged tree may have changed since it was verified (a cleaner, a full disk): only the
  // tree exactly as recorded then is installed.
  auto record = fs::read_file((newApp.parent_path() / kStagedRecord).string());
  auto verified = record ? verify_staged_tree(newApp, *record)
                         : UpdateResult<void>(tl::unexpected(
                               UpdateError::badArchive("the staged bundle's record is missing")));
  if (!verified) {
    vessa::log("staged update refused: " + verified.error().description() +
               " \u2014 keeping the installed copy");
    return;
  }
  pid_t pid = g_wait_pid.load() != 0 ? g_wait_pid.load() : ::getpid();
  proc::Options options;
  options.argv = {"/bin/sh", "-c", install_script(pid, newApp, *target, relaunch)};
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

void UpdateChecker::set_install_wait_pid_for_testing(pid_t pid) { g_wait_pid = pid; }

}  // namespace vessa::updater
