// The local port probe on ephemeral ports: accepted, refused, and a connect that never completes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "executor/convex_status.hpp"

namespace vessa {
namespace {

using namespace std::chrono_literals;

// A listening socket on 127.0.0.1 with the given backlog; closed with the object.
class Listener {
 public:
  explicit Listener(int backlog) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) == 0 && ::listen(fd_, backlog) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
      port_ = ntohs(addr.sin_port);
    }
  }
  ~Listener() { ::close(fd_); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// Connections nobody accepts; once the accept queue is full, further connects hang.
std::vector<int> fill_accept_queue(uint16_t port) {
  std::vector<int> fds;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int i = 0; i < 4; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    fds.push_back(fd);
  }
  std::this_thread::sleep_for(50ms);
  return fds;
}

void on_signal(int /*sig*/) {}

TEST(ConvexPortProbe, AcceptedRefusedAndUnanswered) {
  uint16_t freed = 0;
  {
    Listener open(16);
    ASSERT_NE(open.port(), 0);
    EXPECT_TRUE(convex::convexPortInUse(open.port(), 500));
    freed = open.port();
  }
  EXPECT_FALSE(convex::convexPortInUse(freed, 500));

  Listener full(0);
  auto clients = fill_accept_queue(full.port());
  const auto began = std::chrono::steady_clock::now();
  EXPECT_FALSE(convex::convexPortInUse(full.port(), 300));
  EXPECT_GE(std::chrono::steady_clock::now() - began, 290ms);
  for (int fd : clients) ::close(fd);
}

// A signal during the wait must not end it early: the probe waits out its whole time-out.
TEST(ConvexPortProbe, SignalsDuringTheWaitResumeAgainstTheDeadline) {
  struct sigaction action {};
  struct sigaction old {};
  action.sa_handler = on_signal;  // no SA_RESTART: poll() returns EINTR
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &old), 0);

  Listener full(0);
  auto clients = fill_accept_queue(full.port());
  std::atomic<bool> done{false};
  std::atomic<bool> result{true};
  std::chrono::steady_clock::duration took{};
  std::thread prober([&] {
    const auto began = std::chrono::steady_clock::now();
    result = convex::convexPortInUse(full.port(), 400);
    took = std::chrono::steady_clock::now() - began;
    done = true;
  });
  const pthread_t target = prober.native_handle();
  while (!done) {
    ::pthread_kill(target, SIGUSR1);
    std::this_thread::sleep_for(10ms);
  }
  prober.join();
  ::sigaction(SIGUSR1, &old, nullptr);
  for (int fd : clients) ::close(fd);

  EXPECT_FALSE(result);
  EXPECT_GE(took, 390ms);
  EXPECT_LT(took, 5s);
}

}  // namespace
}  // namespace vessa
