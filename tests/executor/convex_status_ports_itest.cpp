// convex_status and stop_convex against the real port 3210.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "commands/command_registry.hpp"
#include "fixtures/helpers.hpp"

namespace vessa {
namespace {

// A listener on `address`:3210 for the life of the object.
class PortListener {
 public:
  explicit PortListener(const char* address) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(3210);
    ::inet_pton(AF_INET, address, &addr.sin_addr);
    listening_ =
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(fd_, 16) == 0;
  }
  ~PortListener() { ::close(fd_); }
  PortListener(const PortListener&) = delete;
  PortListener& operator=(const PortListener&) = delete;
  bool listening() const { return listening_; }

 private:
  int fd_ = -1;
  bool listening_ = false;
};

class ConvexStatusTest : public ::testing::Test {
 protected:
  CommandResult run(const std::string& cmd) {
    return testing::dispatch_and_wait(*registry_, cmd, {{"ignored", true}});
  }
  void expect_stop_refused() {
    auto r = run("stop_convex");
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.error(), "No convex process is managed by this app");
  }
  std::shared_ptr<CommandRegistry> registry_ =
      std::make_shared<CommandRegistry>(std::weak_ptr<AppContext>());
};

TEST_F(ConvexStatusTest, RunningOnlyWithAListenerOnLoopback) {
  EXPECT_EQ(run("convex_status").value(), "stopped");
  expect_stop_refused();
  {
    PortListener listener("127.0.0.1");
    ASSERT_TRUE(listener.listening());
    EXPECT_EQ(run("convex_status").value(), "running");
    expect_stop_refused();
  }
  EXPECT_EQ(run("convex_status").value(), "stopped");
}

TEST_F(ConvexStatusTest, ListenerOnAnotherLocalAddressDoesNotCount) {
  PortListener listener("127.0.0.2");
  ASSERT_TRUE(listener.listening());
  EXPECT_EQ(run("convex_status").value(), "stopped");
}

}  // namespace
}  // namespace vessa
