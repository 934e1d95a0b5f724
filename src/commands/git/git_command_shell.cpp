// The one place that starts git: the binary, a non-interactive environment, captured output,
// per-call time-outs, and the small helpers every git command uses.
#include "commands/git/git_command_shell.hpp"

#include <sys/stat.h>

#include <charconv>
#include <chrono>
#include <cmath>

#include "commands/cli_lookup.hpp"
#include "support/lines.hpp"
#include "support/login_path.hpp"
#include "support/paths.hpp"
#include "support/utf8.hpp"

namespace vessa::commands::git {
namespace {

constexpr auto kKillGrace = std::chrono::milliseconds(300);
// A helper (ssh, a remote helper, a hook) may hold the pipes after git itself has exited.
constexpr auto kReaderDrain = std::chrono::seconds(5);

std::chrono::milliseconds to_millis(double seconds) {
  if (!(seconds > 0)) return std::chrono::milliseconds(0);  // also NaN
  constexpr double kMaxSeconds = 365.0 * 24 * 3600;
  return std::chrono::milliseconds(
      static_cast<long long>(std::ceil(std::min(seconds, kMaxSeconds) * 1000.0)));
}

// Both streams as the bytes git wrote; `exec` and `status` decode them differently.
Out exec_raw(const std::string& executable, const std::vector<std::string>& args, double timeout) {
  proc::Options o;
  o.argv.reserve(args.size() + 1);
  o.argv.push_back(executable);
  o.argv.insert(o.argv.end(), args.begin(), args.end());
  o.env = GitCommandShell::environment(proc::current_environment(), GitCommandShell::cachedPath());
  o.in = proc::Stdio::null();
  o.out = proc::Stdio::pipe();
  o.err = proc::Stdio::pipe();
  // Its own group, so a stop also reaches ssh, remote helpers and hooks git started.
  o.new_process_group = true;
  proc::RunOptions ro;
  ro.timeout = to_millis(timeout);
  ro.kill_grace = kKillGrace;
  ro.eof_wait_after_exit = kReaderDrain;
  auto r = proc::run(o, ro);
  if (!r) return Out{-1, "", "failed to run git: " + r.error()};
  int status = r->status.exited ? r->status.code : r->status.signal;
  return Out{status, std::move(r->out), std::move(r->err)};
}

std::string decoded(std::string bytes) {
  return is_valid_utf8(bytes) ? std::move(bytes) : std::string();
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool is_directory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string without_trailing_newlines(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

json to_json(const std::vector<std::string>& items) {
  json a = json::array();
  for (const auto& s : items) a.push_back(s);
  return a;
}

}  // namespace

std::string Out::errorMessage() const {
  std::string e = trim(err);
  if (!e.empty()) return e;
  std::string o = trim(out);
  if (!o.empty()) return o;
  return "git exited with status " + std::to_string(status);
}

const std::string& GitCommandShell::cachedPath() {
  static const std::string path = launch::enrichedPath();
  return path;
}

const std::string& GitCommandShell::gitBinary() {
  static const std::string binary = [] {
    if (auto found = cli::whichViaLoginShell("git");
        found && !found->empty() && paths::is_executable_file(*found)) {
      return *found;
    }
    for (const char* candidate : {"/opt/homebrew/bin/git", "/usr/local/bin/git", "/usr/bin/git"}) {
      if (paths::is_executable_file(candidate)) return std::string(candidate);
    }
    return std::string("/usr/bin/git");
  }();
  return binary;
}

proc::Environment GitCommandShell::environment(const proc::Environment& inherited,
                                               const std::string& path) {
  proc::Environment env = inherited;
  env["PATH"] = path;
  env["GIT_TERMINAL_PROMPT"] = "0";
  env["GIT_ASKPASS"] = "/usr/bin/true";
  env["SSH_ASKPASS"] = "/usr/bin/true";
  // A user's own ssh command (a key or a jump host) is kept as it is.
  env.try_emplace("GIT_SSH_COMMAND", "ssh -o BatchMode=yes");
  env["LC_ALL"] = "C";
  return env;
}

Out GitCommandShell::exec(const std::string& executable, const std::vector<std::string>& args,
                          double timeout) {
  Out o = exec_raw(executable, args, timeout);
  o.out = decoded(std::move(o.out));
  o.err = decoded(std::move(o.err));
  return o;
}

Out GitCommandShell::run(const std::vector<std::string>& args,
                         const std::optional<std::string>& repo, double timeout) {
  if (!repo) return exec(gitBinary(), args, timeout);
  std::vector<std::string> full{"-C", *repo};
  full.insert(full.end(), args.begin(), args.end());
  return exec(gitBinary(), full, timeout);
}

std::optional<std::string> GitCommandShell::openRepo(const std::string& path) {
  std::string message = "could not find repository at '" + path + "'";
  if (path.empty() || !is_directory(path)) return message;
  if (exists(path + "/.git")) return std::nullopt;
  if (exists(path + "/HEAD") && exists(path + "/objects") && exists(path + "/refs")) {
    return std::nullopt;
  }
  return message;
}

std::optional<std::string> GitCommandShell::firstLine(std::string_view text) {
  std::string t = trim(text);
  if (t.empty()) return std::nullopt;
  return first_line(t);
}

std::optional<std::string> GitCommandShell::branchArg(const json& args) {
  if (auto v = string_arg(args, "branchName")) return v;
  return string_arg(args, "branch_name");
}

CommandResult GitCommandShell::status(const std::string& path) {
  if (auto missing = openRepo(path)) return CommandResult::failure(*missing);

  Out head = run({"rev-parse", "--abbrev-ref", "HEAD"}, path, 30);
  if (!head.ok()) return CommandResult::failure(head.errorMessage());
  std::string branch = firstLine(head.out).value_or("HEAD");

  Out log = run({"log", "-1", "--format=%B"}, path, 30);
  std::string last_commit = log.ok() ? without_trailing_newlines(log.out) : std::string();

  Out counts = run({"rev-list", "--left-right", "--count", "HEAD...@{upstream}"}, path, 60);
  auto [ahead, behind] = counts.ok() ? parse_ahead_behind(counts.out) : std::pair{0, 0};

  // Raw bytes: one file name that is not UTF-8 must not make the whole tree look clean.
  Out porcelain = exec_raw(
      gitBinary(),
      {"-C", path, "status", "--porcelain", "--untracked-files=all", "--no-renames", "-z"}, 120);
  if (!porcelain.ok()) {
    porcelain.out = decoded(std::move(porcelain.out));
    porcelain.err = decoded(std::move(porcelain.err));
    return CommandResult::failure(porcelain.errorMessage());
  }
  PorcelainLists lists = parse_porcelain_z(utf8_lossy(porcelain.out));

  bool has_conflicts = !lists.conflict_files.empty();
  bool dirty = has_conflicts || !lists.modified.empty() || !lists.staged_files.empty() ||
               !lists.untracked_files.empty();
  json result = {
      {"branch", branch},
      {"isDirty", dirty},
      {"ahead", ahead},
      {"behind", behind},
      {"lastCommit", last_commit},
      {"hasConflicts", has_conflicts},
      {"conflictFiles", to_json(lists.conflict_files)},
      {"modified", to_json(lists.modified)},
      {"stagedFiles", to_json(lists.staged_files)},
      {"untrackedFiles", to_json(lists.untracked_files)},
  };
  return CommandResult::success(std::move(result));
}

PorcelainLists parse_porcelain_z(std::string_view output) {
  PorcelainLists lists;
  bool skip_next = false;
  size_t pos = 0;
  while (pos < output.size()) {
    size_t end = output.find('\0', pos);
    if (end == std::string_view::npos) end = output.size();
    std::string_view entry = output.substr(pos, end - pos);
    pos = end + 1;
    if (skip_next) {
      skip_next = false;
      continue;
    }
    if (entry.size() < 4) continue;
    char x = entry[0];
    char y = entry[1];
    std::string path(entry.substr(3));
    if (x == 'R' || x == 'C' || y == 'R' || y == 'C') skip_next = true;
    if (x == '?' && y == '?') {
      lists.untracked_files.push_back(std::move(path));
    } else if (x == 'U' || y == 'U' || (x == 'A' && y == 'A') || (x == 'D' && y == 'D')) {
      lists.conflict_files.push_back(std::move(path));
    } else {
      if (x == 'A' || x == 'M' || x == 'D') lists.staged_files.push_back(path);
      if (y == 'M' || y == 'D') lists.modified.push_back(path);
    }
  }
  return lists;
}

std::pair<int, int> parse_ahead_behind(std::string_view output) {
  std::string line = first_line(output);
  std::vector<std::string_view> pieces;
  size_t i = 0;
  while (i < line.size() && pieces.size() < 2) {
    size_t start = line.find_first_not_of(" \t", i);
    if (start == std::string::npos) break;
    size_t end = line.find_first_of(" \t", start);
    if (end == std::string::npos) end = line.size();
    pieces.emplace_back(line.data() + start, end - start);
    i = end;
  }
  if (pieces.size() < 2) return {0, 0};
  return {parse_int(pieces[0]).value_or(0), parse_int(pieces[1]).value_or(0)};
}

namespace {

bool valid_ref_component(std::string_view c) {
  constexpr std::string_view kLock = ".lock";
  if (c.empty() || c.front() == '.') return false;
  return !c.ends_with(kLock);
}

bool valid_ref_text(std::string_view name) {
  if (name.empty() || name.front() == '-' || name.front() == '+' || name.front() == '/') {
    return false;
  }
  if (name.back() == '/' || name.back() == '.' || name == "@") return false;
  for (char ch : name) {
    auto c = static_cast<unsigned char>(ch);
    // Controls (NUL too), space, the revision and pattern characters, the refspec colon.
    if (c < 0x20 || c == 0x7F || std::string_view(" ~^:?*[\\").find(ch) != std::string_view::npos) {
      return false;
    }
  }
  for (std::string_view bad : {"..", "@{", "//"}) {
    if (name.find(bad) != std::string_view::npos) return false;
  }
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string_view::npos) end = name.size();
    if (!valid_ref_component(name.substr(start, end - start))) return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

bool is_valid_branch_name(std::string_view name) { return name != "HEAD" && valid_ref_text(name); }

bool is_valid_remote_name(std::string_view name) { return valid_ref_text(name); }

std::optional<int> parse_int(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  int value = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace vessa::commands::git
