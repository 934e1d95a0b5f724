// Who the executor says it runs on: its stable client id and the device name.
#pragma once

#include <string>

namespace vessa::executor {

/// The executor's client id from the configuration file at `config_path`. A usable stored id is
/// returned trimmed; otherwise a new "desktop-<host>-<4 random>" id is stored (with deviceName
/// when missing) and returned. A file that exists but does not parse is never rewritten: a
/// transient "desktop-<host>-tmp" id is returned instead. Takes config_file_mutex(). Any thread.
std::string resolveStableClientId(const std::string& config_path);

/// The stored deviceName (trimmed) when non-blank, else the computer's name. Never writes.
std::string resolveDeviceName(const std::string& config_path);

namespace detail {
/// The reserved-id rule: trimmed, lower-cased `id` is one of the placeholder ids.
bool is_reserved_client_id(const std::string& id);
/// The host's slug for client ids: spaces to "-", only [A-Za-z0-9-], 24 characters, or "mac".
std::string client_id_slug(const std::string& host);
/// 4 characters drawn uniformly from [a-z0-9] with the system's CSPRNG.
std::string random_suffix();
}  // namespace detail

}  // namespace vessa::executor
