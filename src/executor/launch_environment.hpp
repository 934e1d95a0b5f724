// The environment every child process gets, and the facts the executor is launched with.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vessa::launch {

/// The PATH for child processes: the login shell's PATH, then the inherited PATH, then the fixed
/// tool folders and nvm versions; each folder once, first-seen order. Runs a login shell (bounded
/// to 10 s; a shell that hangs is killed and the fixed list used). Any thread.
std::string enrichedPath();

/// The fixed tool folders under `home`, in order, followed by the nvm versions' bin folders.
std::vector<std::string> fixedToolDirs(const std::string& home);

/// $XDG_DATA_HOME/vessa.app (not created here).
std::filesystem::path appDataDir();

/// The executor's client id from the configuration file at `configPath`. A usable stored id is
/// returned trimmed; otherwise a new "desktop-<host>-<4 random>" id is stored (with deviceName
/// when missing) and returned. A file that exists but does not parse is never rewritten: a
/// transient "desktop-<host>-tmp" id is returned instead. Takes config_file_mutex(). Any thread.
std::string resolveStableClientId(const std::string& configPath);

/// The stored deviceName (trimmed) when non-blank, else the computer's name. Never writes.
std::string resolveDeviceName(const std::string& configPath);

/// (deployment URL, executor secret): the build's API base URL and "" unless the file overrides
/// them with `convexUrl` / `executorSecret` strings.
std::pair<std::string, std::string> readConvexConfig(const std::string& configPath);

/// The executor program: the bundle's Resources/vessa-executor, else the development build
/// output found from the executable's folder and its ancestors (8 folders in all).
std::optional<std::filesystem::path> locateSidecar();

/// The bundle's Resources/pw folder when it exists.
std::optional<std::filesystem::path> locatePlaywrightDir();

/// Asks a running executor to reload the coding CLIs' credentials: a POST sent from a pool
/// thread with a 3 s limit; returns at once and ignores the outcome.
void refreshCliAuth();

namespace detail {
/// The reserved-id rule: trimmed, lower-cased `id` is one of the placeholder ids.
bool is_reserved_client_id(const std::string& id);
/// The host's slug for client ids: spaces to "-", only [A-Za-z0-9-], 24 characters, or "mac".
std::string client_id_slug(const std::string& host);
/// 4 characters drawn uniformly from [a-z0-9] with the system's CSPRNG.
std::string random_suffix();
/// The POST target of refreshCliAuth (tests point it at a local server; empty restores it).
void set_refresh_url_for_testing(const std::string& url);
}  // namespace detail

}  // namespace vessa::launch
