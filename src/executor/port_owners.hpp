// Who listens on a TCP port, found through /proc: the socket tables and the descriptor links.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vessa::executor::detail {

/// Inodes of the sockets in a /proc/net/tcp or tcp6 table that listen on `port`.
std::vector<unsigned long> listening_inodes(std::string_view table, uint16_t port);
/// Process ids (ascending) holding any of `inodes` open, found through /proc/<pid>/fd.
std::vector<pid_t> pids_holding_sockets(const std::vector<unsigned long>& inodes,
                                        const std::string& proc_root = "/proc");
/// Process ids of everything listening on TCP `port` (IPv4 and IPv6), this process excepted.
std::vector<pid_t> listening_pids(uint16_t port);

}  // namespace vessa::executor::detail
