// The desktop's colour scheme from the XDG settings portal over GDBus, asynchronously.
#include "platform/appearance_portal.hpp"

#include <gio/gio.h>

#include "platform/notifications_dbus.hpp"
#include "support/callback_guard.hpp"
#include "support/glib_ptr.hpp"

namespace vessa::platform {
namespace detail {

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPath = "/org/freedesktop/portal/desktop";
constexpr const char* kInterface = "org.freedesktop.portal.Settings";
constexpr const char* kNamespace = "org.freedesktop.appearance";
constexpr const char* kKey = "color-scheme";

// Shared by the owner and every pending callback, each of which holds a reference; the owner
// going away clears the listener and cancels what is pending.
struct PortalWatch {
  PortalColorScheme::Listener listener;
  int timeout_ms = 0;
  GObjectPtr<GCancellable> cancellable{g_cancellable_new()};
  GObjectPtr<GDBusConnection> connection;
  guint subscription = 0;
  bool asked_read = false;
  bool have_reading = false;

  void report(std::optional<ColorScheme> scheme) {
    if (scheme) {
      have_reading = true;
    } else if (have_reading) {
      return;  // a signal already told the current value: keep it
    }
    if (!listener) return;
    // Called from GLib's callbacks: nothing may unwind into them.
    guard_callback("colour scheme listener failed", [&] { listener(scheme); });
  }
};

namespace {

using Hold = std::shared_ptr<PortalWatch>;

Hold* hold(const Hold& watch) { return new Hold(watch); }

// Takes back a reference handed to a callback.
Hold release(gpointer data) {
  auto* held = static_cast<Hold*>(data);
  Hold watch = std::move(*held);
  delete held;
  return watch;
}

bool cancelled(const GErrorPtr& error) {
  return g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED);
}

void on_reply(GObject* source, GAsyncResult* result, gpointer data) noexcept;

void read_setting(const Hold& watch, const char* method) {
  g_dbus_connection_call(watch->connection.get(), kPortal, kPath, kInterface, method,
                         g_variant_new("(ss)", kNamespace, kKey), G_VARIANT_TYPE("(v)"),
                         G_DBUS_CALL_FLAGS_NONE, watch->timeout_ms, watch->cancellable.get(),
                         on_reply, hold(watch));
}

void on_reply(GObject* source, GAsyncResult* result, gpointer data) noexcept {
  Hold watch = release(data);
  guard_callback("colour scheme not read", [&] {
    GErrorPtr error;
    GVariantPtr reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, out(error)));
    if (reply == nullptr) {
      // Portals before version 2 of the interface have only Read.
      if (g_error_matches(error.get(), G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD) &&
          !watch->asked_read) {
        watch->asked_read = true;
        read_setting(watch, "Read");
      } else if (!cancelled(error)) {
        watch->report(std::nullopt);
      }
      return;
    }
    GVariant* raw = nullptr;
    g_variant_get(reply.get(), "(v)", &raw);
    GVariantPtr value(raw);
    watch->report(color_scheme_from_setting(value.get()));
  });
}

void on_setting_changed(GDBusConnection* /*connection*/, const gchar* /*sender*/,
                        const gchar* /*path*/, const gchar* /*interface*/, const gchar* /*signal*/,
                        GVariant* params, gpointer data) noexcept {
  if (!g_variant_is_of_type(params, G_VARIANT_TYPE("(ssv)"))) return;
  const gchar* name_space = nullptr;
  const gchar* key = nullptr;
  GVariant* raw = nullptr;
  g_variant_get(params, "(&s&sv)", &name_space, &key, &raw);
  GVariantPtr value(raw);
  if (g_strcmp0(name_space, kNamespace) == 0 && g_strcmp0(key, kKey) == 0) {
    (*static_cast<Hold*>(data))->report(color_scheme_from_setting(value.get()));
  }
}

void on_connected(GObject* /*source*/, GAsyncResult* result, gpointer data) noexcept {
  Hold watch = release(data);
  guard_callback("colour scheme not read", [&] {
    GErrorPtr error;
    GObjectPtr<GDBusConnection> connection(
        g_dbus_connection_new_for_address_finish(result, out(error)));
    if (connection == nullptr) {
      if (!cancelled(error)) watch->report(std::nullopt);
      return;
    }
    // A private connection: the bus going away must not end the application.
    g_dbus_connection_set_exit_on_close(connection.get(), FALSE);
    watch->connection = std::move(connection);
    if (!watch->listener) return;  // stopped while connecting
    // Listen before reading, so a change between the two is not lost.
    watch->subscription = g_dbus_connection_signal_subscribe(
        watch->connection.get(), kPortal, kInterface, "SettingChanged", kPath, kNamespace,
        G_DBUS_SIGNAL_FLAGS_NONE, on_setting_changed, hold(watch),
        [](gpointer held) { delete static_cast<Hold*>(held); });
    read_setting(watch, "ReadOne");
  });
}

}  // namespace
}  // namespace detail

ColorScheme color_scheme_from_setting(GVariant* value) {
  if (value == nullptr) return ColorScheme::kNoPreference;
  GVariantPtr inner(g_variant_ref(value));
  while (g_variant_is_of_type(inner.get(), G_VARIANT_TYPE_VARIANT)) {
    inner.reset(g_variant_get_variant(inner.get()));
  }
  ColorScheme scheme = ColorScheme::kNoPreference;
  if (g_variant_is_of_type(inner.get(), G_VARIANT_TYPE_UINT32)) {
    switch (g_variant_get_uint32(inner.get())) {
      case 1:
        scheme = ColorScheme::kPreferDark;
        break;
      case 2:
        scheme = ColorScheme::kPreferLight;
        break;
      default:
        break;
    }
  }
  return scheme;
}

PortalColorScheme::PortalColorScheme(Listener listener, std::string address,
                                     std::chrono::milliseconds timeout)
    : watch_(std::make_shared<detail::PortalWatch>()) {
  watch_->listener = std::move(listener);
  watch_->timeout_ms = static_cast<int>(timeout.count());
  if (address.empty()) address = session_bus_address();
  // No bus to ask: an address that cannot be parsed fails the same asynchronous way.
  if (address.empty()) address = "none:";
  g_dbus_connection_new_for_address(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, watch_->cancellable.get(), detail::on_connected, detail::hold(watch_));
}

PortalColorScheme::~PortalColorScheme() {
  watch_->listener = nullptr;
  g_cancellable_cancel(watch_->cancellable.get());
  if (watch_->connection != nullptr && watch_->subscription != 0) {
    g_dbus_connection_signal_unsubscribe(watch_->connection.get(), watch_->subscription);
  }
}

}  // namespace vessa::platform
