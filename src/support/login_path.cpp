// The PATH every child process gets: the login shell's, then the inherited one and the tool
// folders.
#include "support/login_path.hpp"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <unordered_set>

#include "support/lines.hpp"
#include "support/login_shell.hpp"
#include "support/paths.hpp"
#include "support/subprocess.hpp"
#include "support/utf8.hpp"

namespace vessa::launch {
namespace {

constexpr auto kLoginShellLimit = std::chrono::seconds(10);

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

}  // namespace

std::vector<std::string> fixed_tool_dirs(const std::string& home) {
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
  auto fixed = fixed_tool_dirs(home);
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

}  // namespace vessa::launch
