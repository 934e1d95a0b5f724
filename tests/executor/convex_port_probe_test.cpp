// The local port probe against a connect that never completes (accepted and refused connects are
// proven through convex_status on the real port).
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "executor/convex_status.hpp"
#include "fixtures/loopback.hpp"

namespace vessa::executor {
namespace {

using namespace std::chrono_literals;

// A listener whose accept queue is full, so further connects hang; closed with the object.
struct FullListener : testing::Listener {
  FullListener() : Listener("127.0.0.1", 0, 0) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < 4; ++i) {
      clients.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
      ::connect(clients.back(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    std::this_thread::sleep_for(50ms);
  }
  ~FullListener() {
    for (int fd : clients) ::close(fd);
  }
  std::vector<int> clients;
};

// A signal during the wait must not end it early: the probe waits out its whole time-out.
TEST(ConvexPortProbe, UnansweredConnectWaitsOutTheTimeoutDespiteSignals) {
  struct sigaction action {};
  struct sigaction old {};
  action.sa_handler = [](int) {};  // no SA_RESTART: poll() returns EINTR
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &old), 0);

  FullListener full;
  std::atomic<bool> done{false};
  std::atomic<bool> result{true};
  std::chrono::steady_clock::duration took{};
  std::thread prober([&] {
    const auto began = std::chrono::steady_clock::now();
    result = executor::convex::convexPortInUse(full.port(), 400);
    took = std::chrono::steady_clock::now() - began;
    done = true;
  });
  while (!done) {
    ::pthread_kill(prober.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(10ms);
  }
  prober.join();
  ::sigaction(SIGUSR1, &old, nullptr);
  EXPECT_FALSE(result);
  EXPECT_GE(took, 390ms);
  EXPECT_LT(took, 5s);
}

}  // namespace
}  // namespace vessa::executor
