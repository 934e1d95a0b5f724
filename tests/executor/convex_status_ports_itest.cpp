// convex_status and stop_convex against the real port 3210.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "commands/command_registry.hpp"
#include "fixtures/helpers.hpp"
#include "fixtures/loopback.hpp"

namespace vessa::executor {

using commands::AppContext;
using commands::CommandRegistry;

namespace {

TEST(ConvexStatus, RunningOnlyWithAListenerOnLoopback) {
  auto registry = std::make_shared<CommandRegistry>(std::weak_ptr<AppContext>());
  auto run = [&](const std::string& cmd) {
    return testing::dispatch_and_wait(*registry, cmd, {{"ignored", true}});
  };
  auto expect = [&](const char* status) {
    EXPECT_EQ(run("convex_status").value(), status);
    // Whatever listens, this app manages no convex process to stop.
    EXPECT_EQ(run("stop_convex").error(), "No convex process is managed by this app");
  };
  expect("stopped");
  {
    testing::Listener other("127.0.0.2", 3210);  // another local address does not count
    ASSERT_NE(other.port(), 0);
    expect("stopped");
  }
  {
    testing::Listener listener("127.0.0.1", 3210);
    ASSERT_NE(listener.port(), 0);
    expect("running");
  }
  expect("stopped");
}

}  // namespace
}  // namespace vessa::executor
