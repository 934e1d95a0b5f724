// Keeps exactly one healthy executor sidecar listening on 127.0.0.1:3212 while the shell runs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "support/json.hpp"
#include "support/subprocess.hpp"

namespace vessa::dispatch {
class SerialQueue;
}

namespace vessa::executor {

class ExecutorSupervisor : public std::enable_shared_from_this<ExecutorSupervisor> {
 public:
  using EmitFn = std::function<void(const std::string& event, const json& payload)>;
  /// (status, message): ("ready", nullopt) or ("error", message).
  using EnsureCompletion =
      std::function<void(const std::string& status, const std::optional<std::string>& message)>;

  /// What the product fixes; tests shrink the probes and point at their own port and program.
  struct Options {
    uint16_t port = 3212;
    int readiness_attempts = 30;
    std::chrono::milliseconds readiness_interval{500};
    /// The executor program; nullopt looks it up (bundle resources, then the development path).
    std::optional<std::filesystem::path> sidecar;
    /// The page's per-launch token, handed to the executor so it can check who calls it.
    std::optional<std::string> ui_token;
  };

  static std::shared_ptr<ExecutorSupervisor> create();
  static std::shared_ptr<ExecutorSupervisor> create(Options options);
  /// Stops the child it started, if any: a child nobody supervises must not outlive us.
  ExecutorSupervisor(const ExecutorSupervisor&) = delete;
  ExecutorSupervisor& operator=(const ExecutorSupervisor&) = delete;
  virtual ~ExecutorSupervisor();

  /// Installs the "executor-status" event sink (replacing any earlier one). Any thread. A status
  /// (with its message) is emitted only when it differs from the last one emitted.
  void set_emit(EmitFn emit);

  /// Makes sure a healthy executor runs; returns at once, the work runs on the supervisor's
  /// serial queue and `completion` (when given) is called exactly once there.
  void ensureRunning(bool force, EnsureCompletion completion = nullptr);

  /// Stops the executor this supervisor started (SIGTERM, 2 s, SIGKILL). Blocks up to ~2 s.
  /// An adopted executor is left running.
  void stop();

  /// Process id of the executor this supervisor started and still holds, or nullopt. Any thread.
  std::optional<pid_t> child_pid();

  /// GET /health answered 200 within the wait (1.5 s request, 2.0 s wait). Blocks the caller.
  bool isHealthy();

 protected:
  explicit ExecutorSupervisor(Options options);

 private:
  /// `stops_at_request`: the stop count when the ensure was asked for; a stop() since then
  /// means the shell is quitting, and no new child is recorded.
  void ensureInternal(const EnsureCompletion& completion, uint64_t stops_at_request);
  uint64_t stop_count();
  void emitStatus(const std::string& status, const std::optional<std::string>& message = {});
  void free_port() const;
  /// The launch environment: our own plus the executor's settings.
  proc::Environment launch_environment(const std::string& config_path);

  Options options_;
  std::shared_ptr<proc::Process> process_;  // guarded by stop_lock_
  std::mutex emit_mutex_;
  EmitFn emit_;
  json last_status_;  // guarded by emit_mutex_: the last payload emitted
  std::string health_;
  std::shared_ptr<dispatch::SerialQueue> queue_;
  std::mutex stop_lock_;
  uint64_t stops_ = 0;  // guarded by stop_lock_: bumped by every stop()
  std::chrono::steady_clock::time_point last_ensure_at_;
  bool has_ensured_ = false;  // queue only; "the distant past" until the first full ensure
  static constexpr std::chrono::milliseconds kEnsureDebounce{2000};
};

}  // namespace vessa::executor
