// Notifications over a private D-Bus bus with a small fake notification server.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <thread>

#include "fixtures/helpers.hpp"
#include "fixtures/private_bus.hpp"
#include "fixtures/scripts.hpp"
#include "platform/notifications_dbus.hpp"
#include "support/subprocess.hpp"

namespace vessa::platform {
namespace {

using namespace std::chrono_literals;

using testing::PrivateBus;

constexpr const char* kIntrospection = R"(<node>
  <interface name="org.freedesktop.Notifications">
    <method name="Notify">
      <arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="as" direction="in"/>
      <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/>
      <arg type="u" direction="out"/>
    </method>
  </interface>
</node>)";

// The notification service side, on its own thread and main context.
class FakeServer {
 public:
  struct Received {
    std::string app, summary, body;
    bool sound_name = false;
    bool suppress_sound = false;
  };

  explicit FakeServer(const std::string& address, bool hold_replies = false) : hold_(hold_replies) {
    thread_ = std::thread([this, address] { run(address); });
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, 10s, [&] { return started_; });
  }
  ~FakeServer() {
    if (loop_ != nullptr) {
      g_main_context_invoke(
          context_,
          [](gpointer loop) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
          },
          loop_);
    }
    thread_.join();
  }
  bool owns_name() const { return owns_; }
  std::vector<Received> received() {
    std::lock_guard lock(mutex_);
    return received_;
  }
  // Answers the held Notify calls.
  void release() {
    g_main_context_invoke(
        context_,
        [](gpointer self) -> gboolean {
          auto* s = static_cast<FakeServer*>(self);
          for (auto* inv : s->held_)
            g_dbus_method_invocation_return_value(inv, g_variant_new("(u)", 7U));
          s->held_.clear();
          return G_SOURCE_REMOVE;
        },
        this);
  }

 private:
  static void on_call(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                      const gchar* method, GVariant* params, GDBusMethodInvocation* inv,
                      gpointer self_ptr) {
    auto* self = static_cast<FakeServer*>(self_ptr);
    if (g_strcmp0(method, "Notify") != 0) return;
    const gchar *app = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
    guint32 id = 0;
    gint32 timeout = 0;
    GVariant* actions = nullptr;
    GVariant* hints = nullptr;
    g_variant_get(params, "(&su&s&s&s@as@a{sv}i)", &app, &id, &icon, &summary, &body, &actions,
                  &hints, &timeout);
    Received r{app, summary, body};
    auto has_hint = [&](const char* key) {
      GVariant* v = g_variant_lookup_value(hints, key, nullptr);
      if (v != nullptr) g_variant_unref(v);
      return v != nullptr;
    };
    r.sound_name = has_hint("sound-name");
    r.suppress_sound = has_hint("suppress-sound");
    g_variant_unref(actions);
    g_variant_unref(hints);
    {
      std::lock_guard lock(self->mutex_);
      self->received_.push_back(r);
    }
    if (self->hold_) {
      self->held_.push_back(inv);
    } else {
      g_dbus_method_invocation_return_value(inv, g_variant_new("(u)", 1U));
    }
  }

  void run(const std::string& address) {
    context_ = g_main_context_new();
    g_main_context_push_thread_default(context_);
    GDBusConnection* c = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    if (c != nullptr) {
      GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
      static const GDBusInterfaceVTable vtable = {&FakeServer::on_call, nullptr, nullptr, {}};
      g_dbus_connection_register_object(c, "/org/freedesktop/Notifications", info->interfaces[0],
                                        &vtable, this, nullptr, nullptr);
      GVariant* r = g_dbus_connection_call_sync(
          c, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
          g_variant_new("(su)", "org.freedesktop.Notifications", 4U), G_VARIANT_TYPE("(u)"),
          G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
      if (r != nullptr) {
        owns_ = true;
        g_variant_unref(r);
      }
      loop_ = g_main_loop_new(context_, FALSE);
      {
        std::lock_guard lock(mutex_);
        started_ = true;
      }
      cv_.notify_all();
      g_main_loop_run(loop_);
      for (auto* inv : held_) g_dbus_method_invocation_return_value(inv, g_variant_new("(u)", 0U));
      held_.clear();
      g_dbus_connection_close_sync(c, nullptr, nullptr);
      g_object_unref(c);
      g_dbus_node_info_unref(info);
      g_main_loop_unref(loop_);
    } else {
      std::lock_guard lock(mutex_);
      started_ = true;
      cv_.notify_all();
    }
    g_main_context_pop_thread_default(context_);
    g_main_context_unref(context_);
  }

  bool hold_;
  std::thread thread_;
  GMainContext* context_ = nullptr;
  GMainLoop* loop_ = nullptr;
  std::atomic<bool> owns_{false};
  std::vector<GDBusMethodInvocation*> held_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool started_ = false;
  std::vector<Received> received_;
};

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

TEST(DBusNotifications, UsableOnlyWithTheServiceAndNotifyAlwaysCompletes) {
  DBusNotifications none("unix:path=/nonexistent/vessa/bus");
  EXPECT_FALSE(none.usable() || none.authorized() || none.request_permission());
  EXPECT_TRUE(notify_and_wait(none, "t", std::nullopt, false));
  PrivateBus bus;
  ASSERT_TRUE(bus.ready());
  DBusNotifications without_service(bus.address());
  EXPECT_FALSE(without_service.usable());
  EXPECT_TRUE(notify_and_wait(without_service, "t", "b", true));
}

TEST(DBusNotifications, ActivatableServiceCountsAsPresent) {
  PrivateBus bus(true);
  ASSERT_TRUE(bus.ready());
  EXPECT_TRUE(DBusNotifications(bus.address()).usable());
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
  EXPECT_TRUE(testing::run_until([&] { return !n.usable(); }, 5s));
}

TEST(DBusNotifications, CompletionWaitsForTheServersAnswer) {
  PrivateBus bus;
  ASSERT_TRUE(bus.ready());
  FakeServer server(bus.address(), /*hold_replies=*/true);
  ASSERT_TRUE(server.owns_name());
  DBusNotifications n(bus.address());
  auto done = std::make_shared<std::atomic<bool>>(false);
  n.notify("held", std::nullopt, false, [done] { *done = true; });
  ASSERT_TRUE(testing::run_until([&] { return server.received().size() == 1; }, 5s));
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(*done);
  server.release();
  EXPECT_TRUE(testing::run_until([&] { return done->load(); }, 5s));
}

TEST(DBusNotifications, SessionBusAddressNeverLaunchesABus) {
  PrivateBus bus;
  ASSERT_TRUE(bus.ready());
  {
    testing::ScopedEnv given("DBUS_SESSION_BUS_ADDRESS", "unix:path=/given");
    EXPECT_EQ(sessionBusAddress(), "unix:path=/given");
  }
  testing::ScopedEnv unset("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
  testing::ScopedEnv runtime("XDG_RUNTIME_DIR", bus.dir());
  EXPECT_EQ(sessionBusAddress(), bus.address());
  EXPECT_FALSE(DBusNotifications().usable());  // the login's bus: found through the runtime folder
  testing::ScopedEnv no_bus("XDG_RUNTIME_DIR", bus.dir() + "/services");
  EXPECT_EQ(sessionBusAddress(), "");
}

}  // namespace
}  // namespace vessa::platform
