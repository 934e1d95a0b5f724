// Agent process groups recorded on disk, so that the next launch ends what a dead shell left.
#include "commands/agents/agent_leftovers.hpp"

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>

#include "support/fs.hpp"
#include "support/lines.hpp"
#include "support/log.hpp"
#include "support/paths.hpp"
#include "support/subprocess.hpp"

namespace vessa::commands::agents {
namespace {

constexpr auto kLeftoverGrace = std::chrono::milliseconds(1000);
constexpr auto kLeftoverKillWait = std::chrono::milliseconds(2000);

// One line: owner pid, owner start time, group id, leader start time, boot id.
struct Record {
  pid_t owner = 0;
  unsigned long long owner_start = 0;
  pid_t pgid = 0;
  unsigned long long leader_start = 0;
  std::string boot_id;
};

std::string boot_id() {
  return trim(fs::read_file("/proc/sys/kernel/random/boot_id").value_or(""));
}

std::string absolute_env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && v[0] == '/' ? v : "";
}

std::string record_path(pid_t owner, pid_t pgid) {
  return records_dir() + "/" + std::to_string(owner) + "-" + std::to_string(pgid);
}

std::optional<Record> parse(const std::string& text) {
  Record r;
  std::istringstream in(text);
  if (!(in >> r.owner >> r.owner_start >> r.pgid >> r.leader_start >> r.boot_id)) {
    return std::nullopt;
  }
  if (r.owner <= 1 || r.pgid <= 1) return std::nullopt;
  return r;
}

bool same_process(pid_t pid, unsigned long long start_time) {
  auto st = proc::read_proc_stat(pid);
  return st && st->state != 'Z' && st->state != 'X' && st->start_time == start_time;
}

// Process ids are reused: only a group that is provably the recorded one is ended. While any
// member lives its group id cannot be reused, and every member started after the leader.
bool still_the_recorded_group(const Record& r) {
  if (auto leader = proc::read_proc_stat(r.pgid); leader && leader->state != 'Z') {
    return leader->start_time == r.leader_start && leader->pgrp == r.pgid;
  }
  auto members = proc::group_members(r.pgid);
  if (members.empty()) return false;
  for (pid_t pid : members) {
    auto st = proc::read_proc_stat(pid);
    if (st && st->start_time < r.leader_start) return false;
  }
  return true;
}

}  // namespace

std::string records_dir() {
  std::string runtime = absolute_env("XDG_RUNTIME_DIR");
  if (!runtime.empty() && ::access(runtime.c_str(), W_OK) == 0) return runtime + "/vessa/agents";
  std::string cache = absolute_env("XDG_CACHE_HOME");
  if (cache.empty()) cache = paths::home_dir() + "/.cache";
  return cache + "/vessa/agents";
}

void record_group(pid_t pgid) {
  auto self = proc::read_proc_stat(::getpid());
  auto leader = proc::read_proc_stat(pgid);
  if (!self || !leader) return;  // the leader is already gone: nothing it could leave
  const std::string dir = records_dir();
  if (!fs::create_directories(dir)) return;
  std::string line = std::to_string(::getpid()) + " " + std::to_string(self->start_time) + " " +
                     std::to_string(pgid) + " " + std::to_string(leader->start_time) + " " +
                     boot_id() + "\n";
  if (!fs::atomic_write(record_path(::getpid(), pgid), line, 0600)) {
    vessa::log("could not record agent group " + std::to_string(pgid) + " in " + dir);
  }
}

void forget_group(pid_t pgid) { std::remove(record_path(::getpid(), pgid).c_str()); }

int end_leftover_groups() {
  const std::string dir = records_dir();
  DIR* listing = ::opendir(dir.c_str());
  if (listing == nullptr) return 0;
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(listing)) {
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  }
  ::closedir(listing);

  const std::string boot = boot_id();
  int ended = 0;
  for (const auto& name : names) {
    std::string path = dir + "/";
    path += name;
    auto record = parse(fs::read_file(path).value_or(""));
    // A shell that still runs (this one, or another instance) owns its agents.
    if (record && same_process(record->owner, record->owner_start)) continue;
    if (record && record->boot_id == boot && still_the_recorded_group(*record)) {
      vessa::log("ending agent group " + std::to_string(record->pgid) + " left by pid " +
                 std::to_string(record->owner));
      if (!proc::stop_group(record->pgid, kLeftoverGrace, kLeftoverKillWait)) continue;
      ++ended;
    }
    std::remove(path.c_str());
  }
  return ended;
}

}  // namespace vessa::commands::agents
