// Desktop notifications through the freedesktop notification service
// (org.freedesktop.Notifications) on the session bus, over GIO's GDBus.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/services.hpp"

namespace vessa::platform {

namespace detail {
struct NotificationBus;
}

/// "Usable" and "authorized" both mean: a session bus answers and the notification service is
/// running or can be started by the bus. There is no permission prompt on this desktop, so a
/// permission request is granted exactly when the service is usable. Any thread; calls block at
/// most `timeout` each (notify runs its bus call on a pool thread).
class DBusNotifications : public Notifications {
 public:
  /// `address`: a D-Bus address; empty means this login's session bus ($DBUS_SESSION_BUS_ADDRESS,
  /// else $XDG_RUNTIME_DIR/bus). A bus is never launched.
  explicit DBusNotifications(std::string address = {},
                             std::chrono::milliseconds timeout = std::chrono::seconds(1));
  DBusNotifications(const DBusNotifications&) = delete;
  DBusNotifications& operator=(const DBusNotifications&) = delete;
  ~DBusNotifications() override;

  bool usable() override;
  bool authorized() override;
  bool request_permission() override;
  void notify(const std::string& title, const std::optional<std::string>& body, bool sound,
              std::function<void()> done) override;

 private:
  std::shared_ptr<detail::NotificationBus> bus_;
};

/// The session bus address this login uses, or "" when there is none to reach.
std::string session_bus_address();

}  // namespace vessa::platform
