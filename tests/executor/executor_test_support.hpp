// Helpers for the executor tests: the built sidecar, a foreign listener, event and ensure
// recorders (free ports, polling and process checks come from the shared fixtures).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

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

/// Another program's listener on a loopback port that accepts connections into its backlog but
/// never answers. Forked (only async-signal-safe calls in the child); killed and reaped at the
/// latest when this object goes.
class ForeignListener {
 public:
  ForeignListener(uint16_t port, bool ignore_sigterm) {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return;
    pid_t pid = ::fork();
    if (pid == 0) {
      if (ignore_sigterm) ::signal(SIGTERM, SIG_IGN);
      int s = ::socket(AF_INET, SOCK_STREAM, 0);
      int one = 1;
      ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_port = htons(port);
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s, 16) != 0)
        ::_exit(3);
      char c = 'r';
      (void)::write(ready[1], &c, 1);
      // Hold nothing but the socket, so no pipe of the test stays open through us.
      for (int fd = 3; fd < 1024; ++fd) {
        if (fd != s) ::close(fd);
      }
      for (;;) ::pause();
    }
    ::close(ready[1]);
    char c = 0;
    bool ok = pid > 0 && ::read(ready[0], &c, 1) == 1;
    ::close(ready[0]);
    pid_ = pid;
    listening_ = ok;
  }
  ~ForeignListener() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }
  ForeignListener(const ForeignListener&) = delete;
  ForeignListener& operator=(const ForeignListener&) = delete;

  bool listening() const { return listening_; }
  pid_t pid() const { return pid_; }

  /// Waits for the listener to end; the signal that ended it, or nullopt (still running or
  /// exited normally).
  std::optional<int> wait_for_end(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!reaped_) {
      int status = 0;
      pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        reaped_ = true;
        if (WIFSIGNALED(status)) return WTERMSIG(status);
        return std::nullopt;
      }
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::nullopt;
  }

 private:
  pid_t pid_ = -1;
  bool listening_ = false;
  bool reaped_ = false;
};

/// Records the supervisor's events in order.
class EventLog {
 public:
  ExecutorSupervisor::EmitFn sink() {
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

/// Runs one ensure and waits for its completion (60 s at most; "TIMEOUT" otherwise).
inline EnsureOutcome ensure_and_wait(ExecutorSupervisor& supervisor, bool force) {
  auto promise = std::make_shared<std::promise<EnsureOutcome>>();
  auto future = promise->get_future();
  supervisor.ensureRunning(
      force, [promise](const std::string& status, const std::optional<std::string>& message) {
        promise->set_value({status, message});
      });
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
