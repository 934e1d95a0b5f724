// Finding and running docker for the Skyvern container, and reading the service's settings.
#include "commands/skyvern/skyvern_docker.hpp"

#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <unordered_set>

#include "commands/skyvern/skyvern_text.hpp"
#include "support/fs.hpp"
#include "support/lines.hpp"
#include "support/login_path.hpp"

namespace vessa::commands::skyvern {
namespace {

// `docker ps` prints one short word per container; anything beyond this is not worth keeping.
constexpr size_t kMaxCapture = 1 << 20;

std::mutex& path_mutex() {
  static std::mutex m;
  return m;
}
std::optional<std::string>& kept_path() {
  static std::optional<std::string> p;
  return p;
}

std::string compute_path() {
  const std::string home = skyvernHomeDir();
  const std::string joined = "/opt/homebrew/bin:/usr/local/bin:" + home +
                             "/.docker/bin:/Applications/Docker.app/Contents/Resources/bin:"
                             "/opt/homebrew/sbin:" +
                             launch::enrichedPath() + ":/usr/bin:/bin:/usr/sbin:/sbin";
  std::unordered_set<std::string_view> seen;
  std::string out;
  size_t start = 0;
  while (start <= joined.size()) {
    size_t end = joined.find(':', start);
    if (end == std::string::npos) end = joined.size();
    std::string_view piece(joined.data() + start, end - start);
    if (!piece.empty() && seen.insert(piece).second) {
      if (!out.empty()) out += ':';
      out += piece;
    }
    start = end + 1;
  }
  return out;
}

proc::Environment child_environment() {
  proc::Environment env = proc::current_environment();
  env["PATH"] = skyvernPath();
  return env;
}

bool is_file(const std::string& path) {
  std::error_code ec;
  auto st = std::filesystem::status(path, ec);
  return !ec && std::filesystem::exists(st) && !std::filesystem::is_directory(st);
}

std::string_view trim_horizontal(std::string_view s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string_view::npos) return {};
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

// A decimal integer with an optional sign, nothing else, within 0...65535.
std::optional<int> parse_port(std::string_view v) {
  if (v.empty()) return std::nullopt;
  bool negative = false;
  if (v.front() == '+' || v.front() == '-') {
    negative = v.front() == '-';
    v.remove_prefix(1);
  }
  if (v.empty()) return std::nullopt;
  long long value = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return std::nullopt;
    value = (value * 10) + (c - '0');
    if (value > 65535) return std::nullopt;  // also keeps huge numbers from overflowing
  }
  if (negative && value != 0) return std::nullopt;
  return static_cast<int>(value);
}

// Length of a line break at `i` (the Unicode newline set: LF, VT, FF, CR, NEL, LS, PS), or 0.
size_t newline_at(std::string_view s, size_t i) {
  auto c = static_cast<unsigned char>(s[i]);
  if (c >= 0x0A && c <= 0x0D) return 1;
  if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x85) return 2;
  if (c == 0xE2 && i + 2 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x80 &&
      (static_cast<unsigned char>(s[i + 2]) == 0xA8 ||
       static_cast<unsigned char>(s[i + 2]) == 0xA9)) {
    return 3;
  }
  return 0;
}

}  // namespace

std::string skyvernHomeDir() {
  const char* env_home = std::getenv("HOME");
  if (env_home != nullptr && *env_home != '\0') return env_home;
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd pw{};
  passwd* result = nullptr;
  if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &result) == 0 && result != nullptr &&
      result->pw_dir != nullptr && *result->pw_dir != '\0') {
    return result->pw_dir;
  }
  return "/tmp";
}

std::string skyvern_settings_dir() { return skyvernHomeDir() + "/.vessa-skyvern"; }

std::string skyvernEnvFilePath() { return skyvern_settings_dir() + "/skyvern.env"; }

std::string skyvernPath() {
  // The lock also makes concurrent first callers wait for the one login-shell run.
  std::scoped_lock lock(path_mutex());
  std::optional<std::string>& kept = kept_path();
  if (!kept) kept = compute_path();
  return *kept;
}

void reset_skyvern_path_for_testing() {
  std::scoped_lock lock(path_mutex());
  kept_path().reset();
}

std::string skyvernDockerBin() {
  const char* configured = std::getenv("VESSA_DOCKER_BIN");
  if (configured != nullptr && *configured != '\0') return configured;
  const std::string candidates[] = {
      "/usr/local/bin/docker",
      "/opt/homebrew/bin/docker",
      "/Applications/Docker.app/Contents/Resources/bin/docker",
      skyvernHomeDir() + "/.docker/bin/docker",
  };
  for (const auto& c : candidates) {
    if (is_file(c)) return c;
  }
  return "docker";
}

std::optional<proc::Output> skyvernRun(const proc::Options& options, double timeout_seconds) {
  proc::RunOptions ro;
  ro.timeout = std::chrono::milliseconds(static_cast<long long>(timeout_seconds * 1000));
  ro.kill_grace = std::chrono::milliseconds(300);
  ro.max_capture = kMaxCapture;
  // A background process that inherited the pipes must not keep us waiting past the exit.
  ro.eof_wait_after_exit = std::chrono::milliseconds(500);
  auto r = proc::run(options, ro);
  if (!r || r->timed_out) return std::nullopt;
  return std::move(*r);
}

proc::Options skyvernDockerProcess(const std::vector<std::string>& args) {
  proc::Options o;
  o.env = child_environment();
  o.in = proc::Stdio::null();
  o.out = proc::Stdio::null();
  o.err = proc::Stdio::null();
  const std::string bin = skyvernDockerBin();
  if (!bin.empty() && bin.front() == '/') {
    o.argv.push_back(bin);
  } else {
    o.argv = {"/usr/bin/env", bin};
  }
  o.argv.insert(o.argv.end(), args.begin(), args.end());
  return o;
}

bool skyvernDockerOnPath() {
  const std::string bin = skyvernDockerBin();
  if (!bin.empty() && bin.front() == '/') return is_file(bin);
  proc::Options o;
  o.argv = {"/bin/sh", "-c", "command -v docker >/dev/null 2>&1"};
  o.env = child_environment();
  o.out = proc::Stdio::null();
  o.err = proc::Stdio::null();
  auto r = skyvernRun(o, 10);
  return r && r->status.success();
}

bool skyvernDockerRunning() {
  auto r = skyvernRun(skyvernDockerProcess({"info"}), 20);
  return r && r->status.success();
}

ContainerState skyvernContainerState() {
  proc::Options o = skyvernDockerProcess(
      {"ps", "-a", "--filter", "name=vessa-skyvern", "--format", "{{.State}}"});
  o.out = proc::Stdio::pipe();
  auto r = skyvernRun(o, 20);
  if (!r || !r->status.success()) return {};
  std::string_view text = r->out;
  if (!is_valid_utf8(text)) text = {};
  std::string state = trim(text.substr(0, text.find('\n')));
  if (state.empty()) return {};
  ContainerState s;
  s.exists = true;
  s.running = state.size() == 7 && std::equal(state.begin(), state.end(), "running",
                                              [](char a, char b) { return std::tolower(a) == b; });
  return s;
}

EnvSettings skyvern_parse_env_text(const std::string& text) {
  std::optional<int> port;
  bool has_key = false;
  std::string_view all = text;
  size_t start = 0;
  for (size_t i = 0; i <= all.size();) {
    size_t nl = i < all.size() ? newline_at(all, i) : 1;
    if (nl == 0) {
      ++i;
      continue;
    }
    std::string_view line = trim_horizontal(all.substr(start, i - start));
    i += nl;
    start = i;
    if (line.empty() || line.front() == '#') continue;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view key = trim_horizontal(line.substr(0, eq));
    std::string_view value = trim_horizontal(line.substr(eq + 1));
    if (key == "SKYVERN_PORT") {
      if (auto p = parse_port(value)) port = p;
    } else if (key == "SKYVERN_API_KEY") {
      has_key = !value.empty();
    }
  }
  EnvSettings out;
  if (port) out.endpoint = "http://localhost:" + std::to_string(*port);
  out.hasApiKey = has_key;
  return out;
}

EnvSettings skyvernParseEnvFile() {
  auto text = fs::read_file(skyvernEnvFilePath());
  if (!text || !is_valid_utf8(*text)) return {};
  return skyvern_parse_env_text(*text);
}

json skyvern_status_snapshot() {
  bool available = skyvernDockerOnPath();
  bool running = available && skyvernDockerRunning();
  ContainerState state = running ? skyvernContainerState() : ContainerState{};
  EnvSettings settings = skyvernParseEnvFile();
  return json{
      {"docker_available", available},
      {"docker_running", running},
      {"container_exists", state.exists},
      {"container_running", state.running},
      {"endpoint", settings.endpoint ? json(*settings.endpoint) : json(nullptr)},
      {"has_api_key", settings.hasApiKey},
      {"supported_os", true},
  };
}

}  // namespace vessa::commands::skyvern
