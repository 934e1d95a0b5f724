// Who the executor says it runs on: its stable client id and the device name.
#include "executor/client_identity.hpp"

#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_set>

#include "platform/host_names_linux.hpp"
#include "platform/services.hpp"
#include "support/config_file.hpp"
#include "support/fs.hpp"
#include "support/json.hpp"
#include "support/lines.hpp"
#include "support/log.hpp"

namespace vessa::executor {
namespace {

constexpr std::string_view kClientIdAlphabet = "abcdefghijklmnopqrstuvwxyz0123456789";

// Host names through the platform service (faked in tests), with the real one as fall-back.
std::shared_ptr<platform::HostNames> host_names() {
  auto names = platform::services().host_names;
  if (names) return names;
  return std::make_shared<platform::LinuxHostNames>();
}

std::optional<std::string> localized_host_name() {
  auto name = host_names()->localized_name();
  if (name && name->empty()) return std::nullopt;
  return name;
}

std::string replace_all(std::string text, std::string_view from, std::string_view to) {
  size_t at = 0;
  while ((at = text.find(from, at)) != std::string::npos) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
  return text;
}

// The computer's name for ids and the device name: the user-facing one, else the network one
// without its ".local" parts.
std::string display_host_name() {
  if (auto name = localized_host_name()) return *name;
  return replace_all(host_names()->network_name(), ".local", "");
}

// The first `count` characters (code points) of UTF-8 `text`.
std::string utf8_prefix(const std::string& text, size_t count) {
  size_t chars = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (chars == count) return text.substr(0, i);
    ++chars;
  }
  return text;
}

std::optional<std::string> non_blank_string(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  auto value = it->get<std::string>();
  if (trim(value).empty()) return std::nullopt;
  return value;
}

}  // namespace

namespace detail {

bool is_reserved_client_id(const std::string& id) {
  static const std::unordered_set<std::string> kReserved = {
      "",        "unknown", "vessa-desktop", "vessa-desktop-windows", "vessa-desktop-linux",
      "desktop", "executor"};
  std::string lowered = trim(id);
  std::ranges::transform(lowered, lowered.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  });
  return kReserved.contains(lowered);
}

std::string client_id_slug(const std::string& host) {
  std::string slug;
  for (char c : host) {
    if (c == ' ') c = '-';
    bool keep =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    if (keep) slug.push_back(c);
  }
  if (slug.size() > 24) slug.resize(24);
  return slug.empty() ? "mac" : slug;
}

std::string random_suffix() {
  // Rejection sampling keeps every character equally likely (252 = 7 * 36).
  std::string out;
  while (out.size() < 4) {
    std::array<unsigned char, 16> bytes{};
    ssize_t n = ::getrandom(bytes.data(), bytes.size(), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      std::abort();  // no kernel CSPRNG: nothing sound to fall back to
    }
    for (ssize_t i = 0; i < n && out.size() < 4; ++i) {
      if (bytes[static_cast<size_t>(i)] < 252) {
        out.push_back(kClientIdAlphabet[bytes[static_cast<size_t>(i)] % 36]);
      }
    }
  }
  return out;
}

}  // namespace detail

std::string resolveStableClientId(const std::string& config_path) {
  // One read-modify-write at a time with config_set, in this process and any other.
  auto held = ConfigFileLock::acquire(config_path);
  ConfigRead config = read_config(config_path);
  if (auto it = config.object.find("clientId"); it != config.object.end() && it->is_string()) {
    std::string stored = trim(it->get<std::string>());
    if (!detail::is_reserved_client_id(stored)) return stored;
  }
  if (!held || (config.exists && !config.readable)) {
    vessa::log(
        "config.json unreadable \u2014 using a transient clientId rather than overwriting it");
    std::string host = localized_host_name().value_or(host_names()->network_name());
    return "desktop-" + utf8_prefix(replace_all(host, " ", "-"), 24) + "-tmp";
  }

  const std::string host = display_host_name();
  std::string id = "desktop-" + detail::client_id_slug(host) + "-" + detail::random_suffix();
  config.object["clientId"] = id;
  if (!non_blank_string(config.object, "deviceName")) config.object["deviceName"] = host;
  fs::create_directories(std::filesystem::path(config_path).parent_path().string());
  fs::atomic_write(config_path, dump_pretty(config.object));
  vessa::log("Assigned unique clientId " + id);
  return id;
}

std::string resolveDeviceName(const std::string& config_path) {
  ConfigRead config = read_config(config_path);
  if (auto name = non_blank_string(config.object, "deviceName")) return trim(*name);
  return display_host_name();
}

}  // namespace vessa::executor
