// Who listens on a TCP port, found through /proc: the socket tables and the descriptor links.
#include "executor/port_owners.hpp"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <set>

#include "support/fs.hpp"
#include "support/lines.hpp"

namespace vessa::executor::detail {

std::vector<unsigned long> listening_inodes(std::string_view table, uint16_t port) {
  constexpr std::string_view kListenState = "0A";
  std::vector<unsigned long> inodes;
  bool header = true;
  for (const std::string& line : split_lines(table)) {
    if (header) {  // the column titles
      header = false;
      continue;
    }
    // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode ...
    const auto fields = split_fields(line);
    if (fields.size() < 10 || fields[3] != kListenState) continue;
    std::string_view local = fields[1];
    size_t colon = local.rfind(':');
    if (colon == std::string_view::npos) continue;
    std::string port_hex(local.substr(colon + 1));
    char* end = nullptr;
    unsigned long local_port = std::strtoul(port_hex.c_str(), &end, 16);
    if (end == port_hex.c_str() || *end != '\0' || local_port != port) continue;
    std::string inode_text(fields[9]);
    unsigned long inode = std::strtoul(inode_text.c_str(), &end, 10);
    if (end == inode_text.c_str() || *end != '\0' || inode == 0) continue;
    inodes.push_back(inode);
  }
  return inodes;
}

std::vector<pid_t> pids_holding_sockets(const std::vector<unsigned long>& inodes,
                                        const std::string& proc_root) {
  std::set<std::string> targets;
  for (unsigned long inode : inodes) targets.insert("socket:[" + std::to_string(inode) + "]");
  std::set<pid_t> pids;
  if (targets.empty()) return {};
  DIR* proc_dir = ::opendir(proc_root.c_str());
  if (proc_dir == nullptr) return {};
  while (dirent* entry = ::readdir(proc_dir)) {
    std::string_view name = entry->d_name;
    if (name.empty() || !std::ranges::all_of(name, [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    std::string fd_dir = proc_root + "/" + std::string(name) + "/fd";
    DIR* fds = ::opendir(fd_dir.c_str());
    if (fds == nullptr) continue;  // gone, or not ours to look into
    while (dirent* fd = ::readdir(fds)) {
      if (fd->d_name[0] == '.') continue;
      char target[64];
      std::string link = fd_dir + "/" + fd->d_name;
      ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
      if (n <= 0) continue;
      target[n] = '\0';
      if (targets.contains(target)) {
        pids.insert(static_cast<pid_t>(std::strtol(std::string(name).c_str(), nullptr, 10)));
        break;
      }
    }
    ::closedir(fds);
  }
  ::closedir(proc_dir);
  return {pids.begin(), pids.end()};
}

std::vector<pid_t> listening_pids(uint16_t port) {
  std::vector<unsigned long> inodes;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    if (auto text = fs::read_file(table)) {
      auto found = listening_inodes(*text, port);
      inodes.insert(inodes.end(), found.begin(), found.end());
    }
  }
  auto pids = pids_holding_sockets(inodes);
  // Never end the shell itself, whatever holds the port.
  std::erase(pids, ::getpid());
  return pids;
}

}  // namespace vessa::executor::detail
