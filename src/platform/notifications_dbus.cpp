// Desktop notifications through org.freedesktop.Notifications over GDBus.
#include "platform/notifications_dbus.hpp"

#include <gio/gio.h>
#include <sys/stat.h>

#include <cstdlib>
#include <mutex>

#include "support/bundle.hpp"
#include "support/dispatch.hpp"
#include "support/glib_ptr.hpp"
#include "support/log.hpp"

namespace vessa::platform {
namespace detail {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
// Servers may take a moment to draw the bubble before they answer Notify.
constexpr int kNotifyTimeoutMs = 10000;

struct NotificationBus {
  std::string address;
  int timeout_ms = 0;
  std::mutex mutex;
  GObjectPtr<GDBusConnection> connection;

  // A new reference to a live connection, or null when the bus cannot be reached.
  GObjectPtr<GDBusConnection> connect() {
    std::scoped_lock lock(mutex);
    if (connection != nullptr && g_dbus_connection_is_closed(connection.get())) {
      connection.reset();
    }
    if (connection == nullptr) {
      std::string where = address.empty() ? session_bus_address() : address;
      if (where.empty()) return nullptr;
      GErrorPtr error;
      // A private connection: unlike the shared session bus object it does not end the process
      // when the bus goes away.
      connection.reset(g_dbus_connection_new_for_address_sync(
          where.c_str(),
          static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                            G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
          nullptr, nullptr, out(error)));
      if (connection == nullptr) return nullptr;
      g_dbus_connection_set_exit_on_close(connection.get(), FALSE);
    }
    return g_object_ref_ptr(connection.get());
  }

  // Calls a method of the bus itself; the reply or null.
  GVariantPtr bus_call(GDBusConnection* c, const char* method, GVariant* params,
                       const char* reply_type) const {
    GErrorPtr error;
    return GVariantPtr(g_dbus_connection_call_sync(
        c, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method, params,
        G_VARIANT_TYPE(reply_type), G_DBUS_CALL_FLAGS_NONE, timeout_ms, nullptr, out(error)));
  }

  bool service_present() {
    GObjectPtr<GDBusConnection> c = connect();
    if (c == nullptr) return false;
    bool present = false;
    if (GVariantPtr r = bus_call(c.get(), "NameHasOwner", g_variant_new("(s)", kService), "(b)")) {
      gboolean owned = FALSE;
      g_variant_get(r.get(), "(b)", &owned);
      present = owned != FALSE;
    }
    // Many notification daemons are started by the bus on the first message.
    if (!present) {
      if (GVariantPtr r = bus_call(c.get(), "ListActivatableNames", nullptr, "(as)")) {
        GVariantIter* raw = nullptr;
        g_variant_get(r.get(), "(as)", &raw);
        GVariantIterPtr iter(raw);
        const gchar* name = nullptr;
        while (g_variant_iter_loop(iter.get(), "&s", &name)) {
          if (g_strcmp0(name, kService) == 0) present = true;
        }
      }
    }
    return present;
  }

  void post(const std::string& title, const std::optional<std::string>& body, bool sound) {
    GObjectPtr<GDBusConnection> c = connect();
    if (c == nullptr) return;
    // D-Bus strings must be valid UTF-8; page text may not be.
    GCharPtr summary(g_utf8_make_valid(title.c_str(), static_cast<gssize>(title.size())));
    GCharPtr text(body ? g_utf8_make_valid(body->c_str(), static_cast<gssize>(body->size()))
                       : g_strdup(""));
    std::string app = bundle::info_string("CFBundleName", "Vessa");
    GCharPtr app_name(g_utf8_make_valid(app.c_str(), static_cast<gssize>(app.size())));
    GVariantBuilder actions;
    g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    if (sound) {
      g_variant_builder_add(&hints, "{sv}", "sound-name",
                            g_variant_new_string("message-new-instant"));
    } else {
      g_variant_builder_add(&hints, "{sv}", "suppress-sound", g_variant_new_boolean(TRUE));
    }
    GVariant* params = g_variant_new("(susssasa{sv}i)", app_name.get(), 0U, "", summary.get(),
                                     text.get(), &actions, &hints, -1);
    GErrorPtr error;
    GVariantPtr reply(g_dbus_connection_call_sync(
        c.get(), kService, kPath, kService, "Notify", params, G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, kNotifyTimeoutMs, nullptr, out(error)));
    if (reply == nullptr) {
      vessa::log(std::string("notification not delivered: ") +
                 (error != nullptr ? error->message : "unknown error"));
    }
  }
};

}  // namespace detail

std::string session_bus_address() {
  const char* env = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (env != nullptr && *env != '\0') return env;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || *runtime == '\0') return {};
  std::string socket = std::string(runtime) + "/bus";
  struct stat st {};
  if (::stat(socket.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return {};
  GCharPtr escaped(g_dbus_address_escape_value(socket.c_str()));
  return std::string("unix:path=") + escaped.get();
}

DBusNotifications::DBusNotifications(std::string address, std::chrono::milliseconds timeout)
    : bus_(std::make_shared<detail::NotificationBus>()) {
  bus_->address = std::move(address);
  bus_->timeout_ms = static_cast<int>(timeout.count());
}

DBusNotifications::~DBusNotifications() = default;

bool DBusNotifications::usable() { return bus_->service_present(); }

bool DBusNotifications::authorized() { return bus_->service_present(); }

bool DBusNotifications::request_permission() { return bus_->service_present(); }

void DBusNotifications::notify(const std::string& title, const std::optional<std::string>& body,
                               bool sound, std::function<void()> done) {
  // The bus call blocks until the server answers: keep it off the caller's thread. The bus
  // state is shared so the call outlives this object if need be.
  dispatch::global_async([bus = bus_, title, body, sound, done = std::move(done)] {
    bus->post(title, body, sound);
    if (done) done();
  });
}

}  // namespace vessa::platform
