// Keeps exactly one healthy executor sidecar listening on 127.0.0.1:3212 while the shell runs.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "support/json.hpp"

namespace vessa {

class ExecutorSupervisor : public std::enable_shared_from_this<ExecutorSupervisor> {
 public:
  using EmitFn = std::function<void(const std::string& event, const json& payload)>;
  /// (status, message): ("ready", nullopt) or ("error", message).
  using EnsureCompletion =
      std::function<void(const std::string& status, const std::optional<std::string>& message)>;

  static std::shared_ptr<ExecutorSupervisor> create();
  virtual ~ExecutorSupervisor() = default;

  /// Installs the "executor-status" event sink (replacing any earlier one). Any thread.
  void set_emit(EmitFn emit);

  /// Makes sure a healthy executor runs; returns at once, the work runs on the supervisor's
  /// serial queue and `completion` (when given) is called exactly once there.
  void ensureRunning(bool force, EnsureCompletion completion = nullptr);

  /// Stops the executor this supervisor started (SIGTERM, 2 s, SIGKILL). Blocks up to ~2 s.
  void stop();

 protected:
  ExecutorSupervisor() = default;
};

}  // namespace vessa
