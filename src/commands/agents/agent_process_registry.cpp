// Agent scripts run through `npx tsx`, one child per agent id, all killed when the app quits.
#include "commands/agents/agent_process_registry.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>

#include "commands/agents/agent_leftovers.hpp"
#include "commands/cli_lookup.hpp"
#include "support/fs.hpp"
#include "support/lifecycle.hpp"
#include "support/login_path.hpp"
#include "support/paths.hpp"

namespace vessa::commands {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kTermGrace = 2000ms;
constexpr auto kKillGrace = 2000ms;
constexpr auto kQuitDeadline = 1000ms;
// Leaves room for ".log" under the usual 255-byte file-name limit.
constexpr size_t kMaxSafeIdLength = 200;

bool safe_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

std::string hex64(uint64_t v) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i, v >>= 4) out[static_cast<size_t>(i)] = kDigits[v & 0xF];
  return out;
}

// FNV-1a: stable across runs, so a long id keeps its log file.
uint64_t fnv1a(const std::string& text) {
  uint64_t h = 1469598103934665603ULL;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  return h;
}

}  // namespace

std::shared_ptr<AgentProcessRegistry> AgentProcessRegistry::create() {
  return std::shared_ptr<AgentProcessRegistry>(new AgentProcessRegistry());
}

std::shared_ptr<AgentProcessRegistry> AgentProcessRegistry::shared() {
  // Never destroyed: children must not be dropped by static destruction at exit.
  static auto* instance = [] {
    auto* registry = new std::shared_ptr<AgentProcessRegistry>(create());
    std::weak_ptr<AgentProcessRegistry> weak = *registry;
    lifecycle::on_will_terminate([weak] {
      if (auto r = weak.lock()) r->killAllOnExit();
    });
    return registry;
  }();
  return *instance;
}

std::string AgentProcessRegistry::safe_id(const std::string& agentId) {
  // One "-" per character (not per UTF-8 byte), so "é" gives one "-".
  std::string safe;
  safe.reserve(agentId.size());
  for (char c : agentId) {
    if (safe_char(c)) {
      safe += c;
    } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
      safe += '-';
    }
  }
  if (safe.empty()) return "agent";
  if (safe.size() > kMaxSafeIdLength) {
    safe.resize(kMaxSafeIdLength - 17);
    safe += "-" + hex64(fnv1a(agentId));
  }
  return safe;
}

std::optional<std::string> AgentProcessRegistry::log_path(const std::string& agentId) {
  const std::string dir = paths::home_dir() + "/.vessa/agents";
  fs::create_directories(dir);
  // safe_id never holds "/" and the ".log" suffix rules out "." and "..": the file stays in dir.
  std::string path = dir + "/" + safe_id(agentId) + ".log";
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return std::nullopt;
  ::close(fd);
  return path;
}

std::optional<std::string> AgentProcessRegistry::resolveNpx(const std::string& enriched_path) {
  if (auto found = cli::whichViaLoginShell("npx")) {
    if (paths::is_executable_file(*found)) return found;
  }
  return proc::find_in_path("npx", enriched_path);
}

void AgentProcessRegistry::reapDeadLocked() {
  // An agent runs while anything of its group does, not only while npx does.
  for (auto it = processes_.begin(); it != processes_.end();) {
    if (it->second->tree_running()) {
      ++it;
    } else {
      agents::forget_group(it->second->pid());
      it = processes_.erase(it);
    }
  }
}

CommandOutcome AgentProcessRegistry::start(const std::string& agentId,
                                           const std::string& scriptPath) {
  {
    std::scoped_lock guard(lock_);
    reapDeadLocked();
    if (processes_.contains(agentId)) {
      return CommandOutcome::error("Agent '" + agentId + "' is already running");
    }
  }
  // The login-shell lookups take seconds; they run outside the lock so listing stays quick.
  const std::string path = launch::enrichedPath();
  auto npx = resolveNpx(path);
  if (!npx) return CommandOutcome::error("Failed to start agent: npx not found on PATH");

  // The child runs in the script's folder, so a relative path must not be read against it again.
  // An absolute path also never starts with "-", so tsx cannot take it for an option.
  std::error_code ec;
  std::filesystem::path script = std::filesystem::absolute(scriptPath, ec);
  if (ec) script = scriptPath;

  proc::Options options;
  options.argv = {*npx, "tsx", script.string(), agentId};
  options.env = proc::current_environment();
  (*options.env)["PATH"] = path;
  const auto folder = script.parent_path();
  if (!folder.empty() && std::filesystem::is_directory(folder, ec)) options.cwd = folder.string();
  options.in = proc::Stdio::null();
  if (auto log = log_path(agentId)) {
    options.out = proc::Stdio::append(*log);
    options.err = proc::Stdio::append(*log);
  } else {
    options.out = proc::Stdio::inherit();
    options.err = proc::Stdio::inherit();
  }
  // Its own process group (npx runs tsx and node as grandchildren, which stop with it), and
  // gone with us even when we are killed.
  options.new_process_group = true;
  options.die_with_parent = true;

  std::scoped_lock guard(lock_);
  reapDeadLocked();
  if (processes_.contains(agentId)) {
    return CommandOutcome::error("Agent '" + agentId + "' is already running");
  }
  auto child = proc::Process::start(options);
  if (!child) return CommandOutcome::error("Failed to start agent: " + child.error());
  const pid_t pid = (*child)->pid();
  // npx dies with us, but its descendants do not: the next launch ends them from this record.
  agents::record_group(pid);
  processes_[agentId] = std::move(*child);
  return CommandOutcome::success("Started agent '" + agentId + "' with PID " + std::to_string(pid));
}

CommandOutcome AgentProcessRegistry::stop(const std::string& agentId) {
  std::shared_ptr<proc::Process> child;
  {
    std::scoped_lock guard(lock_);
    auto it = processes_.find(agentId);
    if (it == processes_.end()) {
      return CommandOutcome::error("Agent '" + agentId + "' is not running");
    }
    child = std::move(it->second);
    processes_.erase(it);
  }
  // The whole tree: npx may be gone while the script it started lives on.
  if (!child->stop(kTermGrace, kKillGrace)) {
    return CommandOutcome::error("Failed to kill agent: process " + std::to_string(child->pid()) +
                                 " did not exit");
  }
  agents::forget_group(child->pid());
  return CommandOutcome::success("Stopped agent '" + agentId + "'");
}

std::vector<std::string> AgentProcessRegistry::list_running() {
  std::scoped_lock guard(lock_);
  reapDeadLocked();
  std::vector<std::string> ids;
  ids.reserve(processes_.size());
  for (const auto& entry : processes_) ids.push_back(entry.first);
  return ids;  // std::map keeps byte order
}

void AgentProcessRegistry::killAllOnExit() {
  std::map<std::string, std::shared_ptr<proc::Process>> taken;
  {
    std::scoped_lock guard(lock_);
    taken.swap(processes_);
  }
  for (auto& entry : taken) entry.second->send_signal(SIGKILL);
  const auto deadline = Clock::now() + kQuitDeadline;
  for (auto& entry : taken) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    // Already killed: a zero grace only waits for the group to be gone.
    if (entry.second->stop(0ms, std::max(left, 0ms))) agents::forget_group(entry.second->pid());
  }
}

}  // namespace vessa::commands
