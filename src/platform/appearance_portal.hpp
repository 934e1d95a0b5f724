// The desktop's colour scheme from the XDG settings portal (org.freedesktop.portal.Settings,
// namespace "org.freedesktop.appearance", key "color-scheme") over GIO's GDBus.
#pragma once

#include <glib.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/appearance.hpp"

namespace vessa::platform {

/// The portal's "color-scheme" value: a uint32, possibly wrapped in variants (old portals' Read
/// wraps it twice). 1 is dark, 2 light; any other number or type states no preference. `value`
/// is not consumed.
ColorScheme color_scheme_from_setting(GVariant* value);

namespace detail {
struct PortalWatch;
}

/// Reads the colour scheme once and then follows the portal's SettingChanged signals. Nothing
/// blocks: the bus connection and the calls are asynchronous, on the main context of the thread
/// that creates the object, and `listener` runs there.
class PortalColorScheme {
 public:
  /// The scheme read at start and each one the portal signals afterwards; nullopt (once, in
  /// place of a first reading) when there is no bus, no portal, an error or no answer within
  /// the time-out.
  using Listener = std::function<void(std::optional<ColorScheme>)>;

  /// `address`: a D-Bus address; empty means this login's session bus. A bus is never launched.
  explicit PortalColorScheme(Listener listener, std::string address = {},
                             std::chrono::milliseconds timeout = std::chrono::seconds(10));
  /// Stops listening; `listener` is not called afterwards.
  ~PortalColorScheme();
  PortalColorScheme(const PortalColorScheme&) = delete;
  PortalColorScheme& operator=(const PortalColorScheme&) = delete;

 private:
  std::shared_ptr<detail::PortalWatch> watch_;
};

}  // namespace vessa::platform
