// Agent scripts run through `npx tsx`, one child per agent id, all killed when the app quits.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/subprocess.hpp"

namespace vessa::commands {

/// The answer of `start` and `stop`: a message for the page, as success or failure.
struct CommandOutcome {
  bool ok = false;
  std::string message;

  static CommandOutcome success(std::string message) { return {true, std::move(message)}; }
  static CommandOutcome error(std::string message) { return {false, std::move(message)}; }
};

class AgentProcessRegistry : public std::enable_shared_from_this<AgentProcessRegistry> {
 public:
  /// The process-wide registry, created on first call (thread-safe). Creating it registers
  /// the will-terminate hook that kills every agent it still tracks.
  static std::shared_ptr<AgentProcessRegistry> shared();

  /// A registry of its own, without the will-terminate hook (tests).
  static std::shared_ptr<AgentProcessRegistry> create();

  /// Starts `npx tsx <scriptPath> <agentId>` unless `agentId` already runs. Any thread; blocks
  /// while the login shell answers the `npx` and PATH lookups.
  CommandOutcome start(const std::string& agentId, const std::string& scriptPath);

  /// Stops the agent's whole process group: SIGTERM, up to 2 s, then SIGKILL, up to 2 s more;
  /// answers once every member is gone. Any thread; blocks up to ~4 s.
  CommandOutcome stop(const std::string& agentId);

  /// Ids of the agents still running, ascending. Drops those that ended by themselves.
  std::vector<std::string> list_running();

  /// SIGKILL to every tracked agent's group, then waits for them, at most 1 s in all. Any thread.
  void killAllOnExit();

  /// Where `npx` is: the login shell's answer, else the first match in `enriched_path`.
  static std::optional<std::string> resolveNpx(const std::string& enriched_path);

  /// `~/.vessa/agents/<safe id>.log`, created when missing; nullopt when it cannot be opened.
  static std::optional<std::string> log_path(const std::string& agentId);

  /// The file-name form of an agent id: characters outside [A-Za-z0-9._-] become "-", "agent"
  /// when empty, long ids cut and given a hash suffix so the name fits the file system.
  static std::string safe_id(const std::string& agentId);

 private:
  AgentProcessRegistry() = default;
  void reapDeadLocked();

  std::mutex lock_;
  std::map<std::string, std::shared_ptr<proc::Process>> processes_;
};

}  // namespace vessa::commands
