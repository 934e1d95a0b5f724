// The environment every child process gets, and the facts the executor is launched with.
#include "executor/launch_environment.hpp"

#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <unordered_set>

#include "build_config.hpp"
#include "platform/host_names_linux.hpp"
#include "platform/services.hpp"
#include "support/config_file.hpp"
#include "support/dispatch.hpp"
#include "support/fs.hpp"
#include "support/http.hpp"
#include "support/json.hpp"
#include "support/lines.hpp"
#include "support/log.hpp"
#include "support/login_shell.hpp"
#include "support/paths.hpp"
#include "support/subprocess.hpp"

namespace vessa::launch {
namespace {

constexpr auto kLoginShellLimit = std::chrono::seconds(10);
constexpr const char* kRefreshUrl = "http://127.0.0.1:3212/refresh-cli-auth";
constexpr std::string_view kClientIdAlphabet = "abcdefghijklmnopqrstuvwxyz0123456789";

std::string env_value(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

std::optional<std::string> login_shell_path() {
  proc::Options o;
  o.argv = {login_shell(), "-l", "-c", "printf %s \"$PATH\""};
  o.out = proc::Stdio::pipe();
  o.err = proc::Stdio::null();
  o.in = proc::Stdio::inherit();
  proc::RunOptions ro;
  ro.timeout = kLoginShellLimit;
  ro.eof_wait_after_exit = std::chrono::milliseconds(500);
  auto r = proc::run(o, ro);
  if (!r || r->timed_out || !r->status.success() || !is_valid_utf8(r->out)) return std::nullopt;
  std::string text = trim(r->out);
  if (text.empty()) return std::nullopt;
  return text;
}

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

struct ConfigRead {
  bool exists = false;
  bool readable = false;
  json object = json::object();
};

ConfigRead read_config(const std::string& path) {
  ConfigRead r;
  std::error_code ec;
  r.exists = std::filesystem::exists(path, ec);
  if (auto text = fs::read_file(path)) {
    if (auto parsed = parse_json(*text); parsed && parsed->is_object()) {
      r.readable = true;
      r.object = std::move(*parsed);
    }
  }
  return r;
}

std::optional<std::string> non_blank_string(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  auto value = it->get<std::string>();
  if (trim(value).empty()) return std::nullopt;
  return value;
}

std::mutex& refresh_url_mutex() {
  static std::mutex m;
  return m;
}

std::string& refresh_url_override() {
  static std::string url;
  return url;
}

}  // namespace

std::vector<std::string> fixedToolDirs(const std::string& home) {
  std::vector<std::string> dirs = {
      "/opt/homebrew/bin",
      "/usr/local/bin",
      "/usr/bin",
      "/bin",
      home + "/.volta/bin",
      home + "/.npm-global/bin",
      home + "/.local/bin",
      home + "/.asdf/shims",
      home + "/.fnm",
      home + "/Library/Application Support/fnm/aliases/default/bin",
      home + "/.claude/bin",
      home + "/.opencode/bin",
      home + "/.codex/bin",
      // The grok installer's own folder, named after its vendor's domain; current installers
      // put their links in ~/.grok/bin instead, so both are searched.
      home + "/.x.ai/bin",
      home + "/.grok/bin",
      home + "/.cargo/bin",
      home + "/.bun/bin",
  };
  std::error_code ec;
  std::filesystem::directory_iterator it(home + "/.nvm/versions/node", ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    auto bin = it->path() / "bin";
    std::error_code exists_ec;
    if (std::filesystem::exists(bin, exists_ec)) dirs.push_back(bin.string());
  }
  return dirs;
}

std::string enrichedPath() {
  const std::string inherited = env_value("PATH");
  const std::string home = paths::home_dir();
  auto fixed = fixedToolDirs(home);
  std::string fixed_joined;
  for (const auto& d : fixed) {
    if (!fixed_joined.empty()) fixed_joined += ':';
    fixed_joined += d;
  }
  auto login = login_shell_path();
  std::string joined = (login ? *login : fixed_joined) + ":" + inherited + ":" + fixed_joined;

  std::string result;
  std::unordered_set<std::string> seen;
  size_t start = 0;
  while (start <= joined.size()) {
    size_t end = joined.find(':', start);
    if (end == std::string::npos) end = joined.size();
    std::string piece = joined.substr(start, end - start);
    if (!piece.empty() && seen.insert(piece).second) {
      if (!result.empty()) result += ':';
      result += piece;
    }
    start = end + 1;
  }
  return result;
}

std::filesystem::path appDataDir() {
  return std::filesystem::path(paths::data_home()) / "vessa.app";
}

namespace detail {

bool is_reserved_client_id(const std::string& id) {
  static const std::unordered_set<std::string> kReserved = {
      "",        "unknown", "vessa-desktop", "vessa-desktop-windows", "vessa-desktop-linux",
      "desktop", "executor"};
  std::string lowered = trim(id);
  std::transform(lowered.begin(), lowered.end(), lowered.begin(), [](unsigned char c) {
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

void set_refresh_url_for_testing(const std::string& url) {
  std::lock_guard lock(refresh_url_mutex());
  refresh_url_override() = url;
}

}  // namespace detail

std::string resolveStableClientId(const std::string& configPath) {
  // One read-modify-write at a time with config_set, in this process and any other.
  auto held = ConfigFileLock::acquire(configPath);
  ConfigRead config = read_config(configPath);
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
  fs::create_directories(std::filesystem::path(configPath).parent_path().string());
  fs::atomic_write(configPath, dump_pretty(config.object));
  vessa::log("Assigned unique clientId " + id);
  return id;
}

std::string resolveDeviceName(const std::string& configPath) {
  ConfigRead config = read_config(configPath);
  if (auto name = non_blank_string(config.object, "deviceName")) return trim(*name);
  return display_host_name();
}

std::pair<std::string, std::string> readConvexConfig(const std::string& configPath) {
  std::pair<std::string, std::string> result{build::kApiBaseUrl, ""};
  ConfigRead config = read_config(configPath);
  if (auto it = config.object.find("convexUrl"); it != config.object.end() && it->is_string()) {
    result.first = it->get<std::string>();
  }
  if (auto it = config.object.find("executorSecret");
      it != config.object.end() && it->is_string()) {
    result.second = it->get<std::string>();
  }
  return result;
}

std::optional<std::filesystem::path> locateSidecar() {
  if (auto resources = paths::bundle_resources_dir()) {
    auto bundled = *resources / "vessa-executor";
    if (paths::is_executable_file(bundled)) return bundled;
  }
  auto dir = paths::executable_path().parent_path();
  if (dir.empty()) return std::nullopt;
  const std::string dev_name = std::string("vessa-executor-") + build::kTargetTriple;
  for (int i = 0; i < 8; ++i) {
    auto candidate = dir / "apps/desktop/src-tauri/binaries" / dev_name;
    if (paths::is_executable_file(candidate)) return candidate;
    if (!dir.has_parent_path() || dir.parent_path() == dir) break;
    dir = dir.parent_path();
  }
  return std::nullopt;
}

std::optional<std::filesystem::path> locatePlaywrightDir() {
  auto resources = paths::bundle_resources_dir();
  if (!resources) return std::nullopt;
  std::error_code ec;
  if (!std::filesystem::is_directory(*resources, ec)) return std::nullopt;
  auto pw = *resources / "pw";
  if (!std::filesystem::exists(pw, ec)) return std::nullopt;
  return pw;
}

void refreshCliAuth() {
  std::string url;
  {
    std::lock_guard lock(refresh_url_mutex());
    url = refresh_url_override().empty() ? kRefreshUrl : refresh_url_override();
  }
  dispatch::global_async(
      [url] { (void)http::post(url, std::string(), std::chrono::milliseconds(3000)); });
}

}  // namespace vessa::launch
