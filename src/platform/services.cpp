// The process-wide set of desktop services.
#include "platform/services.hpp"

#include <mutex>

#include "platform/host_names_linux.hpp"
#include "platform/notifications_dbus.hpp"
#include "platform/terminal_linux.hpp"
#include "platform/url_opener_gio.hpp"
#include "platform/user_defaults_file.hpp"

namespace vessa::platform {
namespace {

std::mutex& services_mutex() {
  static std::mutex m;
  return m;
}

Services& current() {
  static auto* s = new Services(default_services());
  return *s;
}

}  // namespace

Services default_services() {
  Services s;
  s.host_names = std::make_shared<LinuxHostNames>();
  s.user_defaults = std::make_shared<FileUserDefaults>();
  s.terminal = std::make_shared<LinuxTerminal>();
  s.notifications = std::make_shared<DBusNotifications>();
  s.url_opener = std::make_shared<GioUrlOpener>();
  return s;
}

Services services() {
  std::scoped_lock lock(services_mutex());
  return current();
}

void set_services(Services s) {
  std::scoped_lock lock(services_mutex());
  current() = std::move(s);
}

void update_services(const std::function<void(Services&)>& change) {
  std::scoped_lock lock(services_mutex());
  change(current());
}

}  // namespace vessa::platform
