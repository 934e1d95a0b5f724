// Helpers for the executor tests: the built sidecar, event and ensure recorders (free ports,
// polling and process checks come from the shared fixtures).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "executor/executor_supervisor.hpp"
#include "fixtures/loopback.hpp"
#include "fixtures/scripts.hpp"
#include "support/json.hpp"

namespace vessa::testing {

/// The bundled sidecar the build produces.
inline std::string sidecar_program() {
  return std::string(VESSA_BUNDLE) + "/Resources/vessa-executor";
}

/// Records the supervisor's events in order.
class EventLog {
 public:
  executor::ExecutorSupervisor::EmitFn sink() {
    return [this](const std::string& event, const json& payload) {
      std::lock_guard lock(mutex_);
      events_.emplace_back(event, payload);
    };
  }
  /// The "executor-status" payloads so far, and forgets them.
  std::vector<json> take() {
    std::lock_guard lock(mutex_);
    std::vector<json> out;
    for (auto& [event, payload] : events_) {
      if (event == "executor-status") out.push_back(payload);
    }
    events_.clear();
    return out;
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<std::string, json>> events_;
};

struct EnsureOutcome {
  std::string status;
  std::optional<std::string> message;
};

/// Starts one ensure; its outcome arrives through the future.
inline std::future<EnsureOutcome> ensure_async(executor::ExecutorSupervisor& supervisor,
                                               bool force) {
  auto promise = std::make_shared<std::promise<EnsureOutcome>>();
  auto future = promise->get_future();
  supervisor.ensureRunning(
      force, [promise](const std::string& status, const std::optional<std::string>& message) {
        promise->set_value({status, message});
      });
  return future;
}

/// Runs one ensure and waits for its completion (60 s at most; "TIMEOUT" otherwise).
inline EnsureOutcome ensure_and_wait(executor::ExecutorSupervisor& supervisor, bool force) {
  auto future = ensure_async(supervisor, force);
  if (future.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    return {"TIMEOUT", std::nullopt};
  }
  return future.get();
}

inline json status_event(const std::string& status) { return json{{"status", status}}; }
inline json error_event(const std::string& message) {
  return json{{"status", "error"}, {"message", message}};
}

}  // namespace vessa::testing
