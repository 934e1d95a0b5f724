// Finding who listens on a port through /proc: the socket tables and the descriptor links.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "executor/port_owners.hpp"
#include "fixtures/temp_home.hpp"

namespace vessa::executor {
namespace {

using executor::detail::listening_inodes;
using executor::detail::pids_holding_sockets;

// Real lines from /proc/net/tcp and tcp6 (port 3212 = 0x0C8C, LISTEN = 0A).
constexpr const char* kTcp =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
    "inode\n"
    "   0: 0100007F:0C8C 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 "
    "41001 1 0000000000000000 100 0 0 10 0\n"
    "   1: 0100007F:0C8C 0100007F:A1B2 01 00000000:00000000 00:00000000 00000000     0        0 "
    "41002 1 0000000000000000 20 4 30 10 -1\n"
    "   2: 00000000:0C8A 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 "
    "41003 1 0000000000000000 100 0 0 10 0\n"
    "   3: 0100007F:8C0C 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 "
    "41004 1 0000000000000000 100 0 0 10 0\n"
    "   4: 0100007F:0C8C 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 "
    "0 1 0000000000000000 100 0 0 10 0\n"
    "   5: garbage\n";
constexpr const char* kTcp6 =
    "  sl  local_address                         remote_address                        st "
    "tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
    "   0: 00000000000000000000000000000000:0C8C 00000000000000000000000000000000:0000 0A "
    "00000000:00000000 00:00000000 00000000     0        0 52001 1 0000000000000000 100 0 0 10 "
    "0\n";

TEST(PortOwners, OnlyListeningSocketsOnThePortCount) {
  // Established connections, other ports, byte-swapped look-alikes, inode 0 and junk are skipped.
  EXPECT_EQ(listening_inodes(kTcp, 3212), std::vector<unsigned long>{41001});
  EXPECT_EQ(listening_inodes(kTcp6, 3212), std::vector<unsigned long>{52001});
  EXPECT_EQ(listening_inodes(kTcp, 3210), std::vector<unsigned long>{41003});
  EXPECT_TRUE(listening_inodes(kTcp, 9999).empty());
  EXPECT_TRUE(listening_inodes("", 3212).empty());
}

TEST(PortOwners, ProcessesAreFoundThroughTheirSocketLinks) {
  testing::TempHome home;
  const std::string root = home.path() + "/proc";
  auto link = [&](const std::string& pid, const std::string& fd, const std::string& target) {
    std::filesystem::create_directories(root + "/" + pid + "/fd");
    std::filesystem::create_symlink(target, root + "/" + pid + "/fd/" + fd);
  };
  link("700", "0", "/dev/null");
  link("700", "5", "socket:[41001]");
  link("42", "3", "socket:[52001]");
  link("42", "4", "socket:[41001]");    // one process holding both sockets is named once
  link("99", "3", "socket:[410011]");   // a longer inode that merely starts alike
  link("self", "3", "socket:[41001]");  // not a process folder
  std::filesystem::create_directories(root + "/1234");  // no fd folder: skipped
  EXPECT_EQ(pids_holding_sockets({41001, 52001}, root), (std::vector<pid_t>{42, 700}));
  EXPECT_TRUE(pids_holding_sockets({}, root).empty());
  EXPECT_TRUE(pids_holding_sockets({41001}, root + "/missing").empty());
}

}  // namespace
}  // namespace vessa::executor
