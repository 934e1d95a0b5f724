// Keeps exactly one healthy executor sidecar listening on 127.0.0.1:3212 while the shell runs.
#include "executor/executor_supervisor.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <future>
#include <thread>

#include "executor/cli_auth_refresh.hpp"
#include "executor/client_identity.hpp"
#include "executor/convex_config.hpp"
#include "executor/port_owners.hpp"
#include "executor/sidecar_location.hpp"
#include "support/dispatch.hpp"
#include "support/fs.hpp"
#include "support/http.hpp"
#include "support/log.hpp"
#include "support/login_path.hpp"
#include "support/paths.hpp"

namespace vessa::executor {
namespace {

constexpr uint16_t kDefaultPort = 3212;
constexpr auto kHealthRequestLimit = std::chrono::milliseconds(1500);
constexpr auto kHealthWait = std::chrono::milliseconds(2000);
constexpr auto kStopGrace = std::chrono::milliseconds(2000);
constexpr auto kFreePortGrace = std::chrono::milliseconds(400);
constexpr auto kFreePortSettle = std::chrono::milliseconds(200);
// After SIGKILL the kernel ends the child promptly; this only bounds a pathological wait.
constexpr auto kAfterKillWait = std::chrono::milliseconds(1000);
constexpr const char* kStoppedWhileStarting = "executor stopped while starting";

bool process_exists(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

// The executor's whole process group: SIGTERM, up to 2 s, then SIGKILL with the log line.
// Returns once all of it is gone (or the wait after SIGKILL ran out).
void terminate_with_escalation(proc::Process& child) {
  child.stop(kStopGrace, kAfterKillWait, [&] {
    vessa::log("executor pid " + std::to_string(child.pid()) +
               " ignored SIGTERM after 2s — SIGKILL");
  });
}

// The log file opened for appending, or the shell's own stream when it cannot be opened.
proc::Stdio append_or_inherit(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return proc::Stdio::inherit();
  ::close(fd);
  return proc::Stdio::append(path);
}

bool is_directory(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_directory(path, ec);
}

}  // namespace

std::shared_ptr<ExecutorSupervisor> ExecutorSupervisor::create() { return create(Options{}); }

std::shared_ptr<ExecutorSupervisor> ExecutorSupervisor::create(Options options) {
  return std::shared_ptr<ExecutorSupervisor>(new ExecutorSupervisor(std::move(options)));
}

ExecutorSupervisor::ExecutorSupervisor(Options options)
    : options_(std::move(options)),
      health_("http://127.0.0.1:" + std::to_string(options_.port) + "/health"),
      queue_(dispatch::SerialQueue::create("vessa.executor")) {}

ExecutorSupervisor::~ExecutorSupervisor() { stop(); }

uint64_t ExecutorSupervisor::stop_count() {
  std::scoped_lock lock(stop_lock_);
  return stops_;
}

void ExecutorSupervisor::set_emit(EmitFn emit) {
  std::scoped_lock lock(emit_mutex_);
  emit_ = std::move(emit);
}

std::optional<pid_t> ExecutorSupervisor::child_pid() {
  std::scoped_lock lock(stop_lock_);
  if (!process_) return std::nullopt;
  return process_->pid();
}

void ExecutorSupervisor::ensureRunning(bool force, EnsureCompletion completion) {
  std::weak_ptr<ExecutorSupervisor> weak = weak_from_this();
  queue_->async([weak, force, stops = stop_count(), completion = std::move(completion)] {
    auto self = weak.lock();
    if (!self) {
      if (completion) completion("error", std::string("supervisor gone"));
      return;
    }
    auto now = std::chrono::steady_clock::now();
    if (!force && self->has_ensured_ && now - self->last_ensure_at_ < kEnsureDebounce &&
        self->isHealthy()) {
      executor::refreshCliAuth();
      self->emitStatus("ready");
      if (completion) completion("ready", std::nullopt);
      return;
    }
    self->has_ensured_ = true;
    self->last_ensure_at_ = now;
    self->ensureInternal(completion, stops);
  });
}

void ExecutorSupervisor::ensureInternal(const EnsureCompletion& completion,
                                        uint64_t stops_at_request) {
  auto finish = [&](const std::string& status, const std::optional<std::string>& message) {
    emitStatus(status, message);
    if (completion) completion(status, message);
  };

  emitStatus("starting");
  if (isHealthy()) {
    vessa::log("executor healthy on :" + std::to_string(options_.port) + " — adopting");
    executor::refreshCliAuth();
    finish("ready", std::nullopt);
    return;
  }

  // Our own child that does not answer is replaced. It is taken out under the same lock as
  // stop() uses, and its end is bounded like stop()'s so a stuck child cannot hang the queue.
  std::shared_ptr<proc::Process> stale;
  {
    std::scoped_lock lock(stop_lock_);
    if (process_ && process_->tree_running()) stale = process_;
    process_.reset();
  }
  if (stale) {
    vessa::log("terminating our unhealthy executor pid " + std::to_string(stale->pid()));
    terminate_with_escalation(*stale);
  }

  free_port();

  auto sidecar = options_.sidecar ? options_.sidecar : executor::locateSidecar();
  if (!sidecar) {
    vessa::log("executor binary not found");
    finish("error", std::string("executor binary not found"));
    return;
  }

  const std::string home = paths::home_dir();
  const std::string vessa_dir = home + "/.vessa";
  fs::create_directories(vessa_dir);
  const std::string config_path = vessa_dir + "/config.json";
  std::string cwd = home + "/Documents";
  if (!is_directory(cwd)) cwd = home;
  fs::create_directories((executor::appDataDir() / "ms-playwright").string());

  proc::Options child;
  child.argv = {sidecar->string()};
  child.cwd = cwd;
  child.env = launch_environment(config_path);
  child.in = proc::Stdio::null();
  child.out = append_or_inherit(vessa_dir + "/executor.log");
  child.err = append_or_inherit(vessa_dir + "/executor.err");

  if (stop_count() != stops_at_request) {
    finish("error", std::string(kStoppedWhileStarting));
    return;
  }
  auto started = proc::Process::start(child);
  if (!started) {
    finish("error", "failed to start executor: " + started.error());
    return;
  }
  std::shared_ptr<proc::Process> fresh = *started;
  bool stopped_meanwhile = false;
  {
    std::scoped_lock lock(stop_lock_);
    // A stop() since this ensure was asked for means the shell is quitting: a child recorded
    // now would outlive it.
    stopped_meanwhile = stops_ != stops_at_request;
    if (!stopped_meanwhile) process_ = fresh;
  }
  vessa::log("spawned executor pid " + std::to_string(fresh->pid()));
  if (stopped_meanwhile) {
    terminate_with_escalation(*fresh);
    finish("error", std::string(kStoppedWhileStarting));
    return;
  }

  for (int attempt = 0; attempt < options_.readiness_attempts; ++attempt) {
    if (stop_count() != stops_at_request) {  // stopped at quit: no point waiting for it
      finish("error", std::string(kStoppedWhileStarting));
      return;
    }
    if (isHealthy()) {
      executor::refreshCliAuth();
      finish("ready", std::nullopt);
      return;
    }
    std::this_thread::sleep_for(options_.readiness_interval);
  }
  // The child stays in process_: the next ensure finds it unhealthy and replaces it.
  finish("error", std::string("executor did not become ready within 15s"));
}

proc::Environment ExecutorSupervisor::launch_environment(const std::string& config_path) {
  proc::Environment env = proc::current_environment();
  auto [convex_url, secret] = executor::readConvexConfig(config_path);
  env["PATH"] = launch::enrichedPath();
  env["CONVEX_URL"] = convex_url;
  env["EXECUTOR_SECRET"] = secret;
  env["EXECUTION_MODE"] = "cli";
  env["EXECUTOR_CLIENT_ID"] = executor::resolveStableClientId(config_path);
  env["EXECUTOR_DEVICE_NAME"] = executor::resolveDeviceName(config_path);
  env["POLL_INTERVAL"] = "5000";
  env["MAX_TURNS"] = "50";
  env["AGENT_TIMEOUT"] = "900000";
  // Optional values are removed rather than inherited: a stale one from the shell's own parent
  // would point the executor at the wrong files or the wrong page.
  if (auto pw = executor::locatePlaywrightDir()) {
    env["VESSA_PLAYWRIGHT_DIR"] = pw->string();
  } else {
    env.erase("VESSA_PLAYWRIGHT_DIR");
  }
  env["PLAYWRIGHT_BROWSERS_PATH"] = (executor::appDataDir() / "ms-playwright").string();
  if (options_.ui_token) {
    env["VESSA_UI_TOKEN"] = *options_.ui_token;
  } else {
    env.erase("VESSA_UI_TOKEN");
  }
  // The executor listens on 3212 unless told otherwise; only a supervisor watching another port
  // tells it so, and an inherited value must not move it away from the port we probe.
  if (options_.port != kDefaultPort) {
    env["VESSA_EXECUTOR_PORT"] = std::to_string(options_.port);
  } else {
    env.erase("VESSA_EXECUTOR_PORT");
  }
  return env;
}

bool ExecutorSupervisor::isHealthy() {
  auto answer = std::make_shared<std::promise<bool>>();
  auto result = answer->get_future();
  dispatch::global_async([url = health_, answer] {
    auto response = http::get(url, kHealthRequestLimit);
    answer->set_value(response && response->status == 200);
  });
  // A late answer lands in the abandoned promise and is ignored.
  if (result.wait_for(kHealthWait) != std::future_status::ready) return false;
  return result.get();
}

void ExecutorSupervisor::emitStatus(const std::string& status,
                                    const std::optional<std::string>& message) {
  json payload = {{"status", status}};
  if (message) payload["message"] = *message;
  EmitFn emit;
  {
    std::scoped_lock lock(emit_mutex_);
    // The page hears of changes only: the after-load and the launch ensures both end "ready".
    if (!emit_ || payload == last_status_) return;
    last_status_ = payload;
    emit = emit_;
  }
  emit("executor-status", payload);
}

void ExecutorSupervisor::free_port() const {
  auto pids = executor::detail::listening_pids(options_.port);
  if (pids.empty()) return;
  for (pid_t pid : pids) {
    vessa::log("freePort3212: killing pid " + std::to_string(pid));
    ::kill(pid, SIGTERM);
  }
  std::this_thread::sleep_for(kFreePortGrace);
  for (pid_t pid : pids) {
    if (process_exists(pid)) ::kill(pid, SIGKILL);
  }
  std::this_thread::sleep_for(kFreePortSettle);
}

void ExecutorSupervisor::stop() {
  std::shared_ptr<proc::Process> child;
  {
    std::scoped_lock lock(stop_lock_);
    ++stops_;
    child.swap(process_);
  }
  if (!child) return;
  terminate_with_escalation(*child);
}

}  // namespace vessa::executor
