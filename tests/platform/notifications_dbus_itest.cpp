// Notifications over a private D-Bus bus with a small fake notification server.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "fixtures/dbus_notifications.hpp"
#include "fixtures/helpers.hpp"
#include "fixtures/private_bus.hpp"
#include "fixtures/scripts.hpp"
#include "platform/notifications_dbus.hpp"

namespace vessa::platform {
namespace {

using namespace std::chrono_literals;
using testing::FakeServer;
using testing::PrivateBus;

// Calls notify and waits for its completion.
bool notify_and_wait(Notifications& n, const std::string& title,
                     const std::optional<std::string>& body, bool sound,
                     std::chrono::milliseconds timeout = 10s) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  n.notify(title, body, sound, [done] { *done = true; });
  auto until = std::chrono::steady_clock::now() + timeout;
  while (!*done && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(5ms);
  return *done;
}

TEST(DBusNotifications, UsableOnlyWithARunningOrActivatableServiceAndNotifyAlwaysCompletes) {
  DBusNotifications none("unix:path=/nonexistent/vessa/bus");
  EXPECT_FALSE(none.usable() || none.authorized() || none.request_permission());
  EXPECT_TRUE(notify_and_wait(none, "t", std::nullopt, false));
  PrivateBus bus;
  ASSERT_TRUE(bus.ready());
  DBusNotifications without_service(bus.address());
  EXPECT_FALSE(without_service.usable());
  EXPECT_TRUE(notify_and_wait(without_service, "t", "b", true));
  // A service the bus would start on demand counts as present.
  PrivateBus activating(true);
  ASSERT_TRUE(activating.ready());
  EXPECT_TRUE(DBusNotifications(activating.address()).usable());
}

TEST(DBusNotifications, DeliversToTheServiceAndComesBackWhenTheServiceGoes) {
  PrivateBus bus;
  ASSERT_TRUE(bus.ready());
  DBusNotifications n(bus.address());
  {
    FakeServer server(bus.address());
    ASSERT_TRUE(server.owns_name());
    EXPECT_TRUE(n.usable());
    EXPECT_TRUE(n.authorized());
    EXPECT_TRUE(n.request_permission());
    ASSERT_TRUE(notify_and_wait(n, "Build done", "All green", true));
    ASSERT_TRUE(notify_and_wait(n, std::string("Bad \xff title"), std::nullopt, false));
    auto got = server.received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].summary, "Build done");
    EXPECT_EQ(got[0].body, "All green");
    EXPECT_TRUE(got[0].sound_name);
    EXPECT_FALSE(got[0].suppress_sound);
    EXPECT_EQ(got[1].summary, "Bad \xef\xbf\xbd title");  // made valid, not dropped
    EXPECT_EQ(got[1].body, "");
    EXPECT_TRUE(got[1].suppress_sound);
  }
  EXPECT_TRUE(testing::run_until([&] { return !n.usable(); }, 20s));
}

TEST(DBusNotifications, CompletionWaitsForTheServersAnswer) {
  PrivateBus bus;
  ASSERT_TRUE(bus.ready());
  FakeServer server(bus.address(), /*hold_replies=*/true);
  ASSERT_TRUE(server.owns_name());
  DBusNotifications n(bus.address());
  auto done = std::make_shared<std::atomic<bool>>(false);
  n.notify("held", std::nullopt, false, [done] { *done = true; });
  ASSERT_TRUE(testing::run_until([&] { return server.received().size() == 1; }, 20s));
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(*done);
  server.release();
  EXPECT_TRUE(testing::run_until([&] { return done->load(); }, 20s));
}

TEST(DBusNotifications, SessionBusAddressNeverLaunchesABus) {
  PrivateBus bus;
  ASSERT_TRUE(bus.ready());
  {
    testing::ScopedEnv given("DBUS_SESSION_BUS_ADDRESS", "unix:path=/given");
    EXPECT_EQ(session_bus_address(), "unix:path=/given");
  }
  testing::ScopedEnv unset("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
  testing::ScopedEnv runtime("XDG_RUNTIME_DIR", bus.dir());
  EXPECT_EQ(session_bus_address(), bus.address());
  EXPECT_FALSE(DBusNotifications().usable());  // the login's bus: found through the runtime folder
  testing::ScopedEnv no_bus("XDG_RUNTIME_DIR", bus.dir() + "/services");
  EXPECT_EQ(session_bus_address(), "");
}

}  // namespace
}  // namespace vessa::platform
