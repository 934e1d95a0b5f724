// Finding tools the way the user's login shell does, and reading their versions.
#include "commands/cli_lookup.hpp"

#include <algorithm>
#include <chrono>

#include "support/lines.hpp"
#include "support/login_path.hpp"
#include "support/login_shell.hpp"
#include "support/subprocess.hpp"

namespace vessa::commands::cli {
namespace {

bool plain_program_name(const std::string& name) {
  return !name.empty() && name.front() != '-' && std::ranges::all_of(name, [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '+' || c == '-';
  });
}

}  // namespace

std::optional<std::string> whichViaLoginShell(const std::string& name) {
  // The name goes into shell text: only plain names ever get there.
  if (!plain_program_name(name)) return std::nullopt;
  proc::Options o;
  o.argv = {login_shell(), "-l", "-c",
            "command -v " + name + " 2>/dev/null || which " + name + " 2>/dev/null"};
  o.out = proc::Stdio::pipe();
  o.err = proc::Stdio::null();
  proc::RunOptions ro;
  ro.timeout = std::chrono::seconds(10);
  ro.eof_wait_after_exit = std::chrono::milliseconds(500);
  auto r = proc::run(o, ro);
  if (!r || !is_valid_utf8(r->out)) return std::nullopt;
  std::string text = trim(r->out);
  if (text.empty()) return std::nullopt;
  return first_line(text);
}

std::optional<std::string> runVersion(const std::string& path) {
  return runVersion(path, launch::enrichedPath());
}

std::optional<std::string> runVersion(const std::string& path, const std::string& path_value) {
  proc::Options o;
  o.argv = {path, "--version"};
  o.env = proc::Environment{{"PATH", path_value}};
  o.out = proc::Stdio::pipe();
  o.err = proc::Stdio::null();
  proc::RunOptions ro;
  ro.timeout = std::chrono::seconds(5);
  ro.kill_grace = std::chrono::milliseconds(500);
  ro.eof_wait_after_exit = std::chrono::milliseconds(500);
  ro.max_capture = size_t{1} << 20;  // a version is one line; a flood must not fill memory
  auto r = proc::run(o, ro);
  // A tool stopped at the limit still reports what it printed before.
  if (!r || !is_valid_utf8(r->out)) return std::nullopt;
  for (const auto& line : split_lines(r->out)) {
    std::string t = trim(line);
    if (!t.empty()) return t;
  }
  return std::nullopt;
}

}  // namespace vessa::commands::cli
