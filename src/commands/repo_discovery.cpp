// Finding git working copies on the local disk. The scan reads git's own files (`.git`, `HEAD`,
// `commondir`, `config`) and never starts git, so it stays cheap over thousands of folders.
#include "commands/repo_discovery.hpp"

#include <dirent.h>
#include <glib.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "support/fs.hpp"
#include "support/glib_ptr.hpp"
#include "support/lines.hpp"
#include "support/paths.hpp"
#include "support/subprocess.hpp"
#include "support/utf8.hpp"

namespace vessa::commands::repos {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::array<const char*, 22> kDefaultRootSuffixes = {"/Projects",
                                                              "/projects",
                                                              "/Developer",
                                                              "/dev",
                                                              "/src",
                                                              "/code",
                                                              "/repos",
                                                              "/GitHub",
                                                              "/Documents/GitHub",
                                                              "/Documents/gitlab",
                                                              "/Documents/bitbucket",
                                                              "/Documents/Bitbucket",
                                                              "/gitlab",
                                                              "/bitbucket",
                                                              "/Bitbucket",
                                                              "/Atlassian",
                                                              "/atlassian",
                                                              "/Vessa",
                                                              "/vessa",
                                                              "/work",
                                                              "/Documents/Social",
                                                              "/Documents/GitHub/Social"};

constexpr std::array<const char*, 10> kFindRootSuffixes = {
    "",      "/Projects",         "/dev",    "/Developer", "/src",
    "/code", "/Documents/GitHub", "/GitHub", "/bitbucket", "/Documents/bitbucket"};

const std::unordered_set<std::string_view>& skip_set() {
  static const std::unordered_set<std::string_view> kSkip = {
      "node_modules", "Library",     "Applications", "target", "dist",   "build",
      ".build",       "DerivedData", "Pods",         "vendor", ".next",  ".turbo",
      "coverage",     "__pycache__", ".venv",        "venv",   "env",    ".cache",
      "Caches",       "cache",       "tmp",          "temp",   ".git",   "pw",
      "out",          "Pictures",    "Movies",       "Music",  "Public", "Downloads",
      "Desktop",      "Documents"};
  return kSkip;
}

constexpr int kMaxDepth = 2;

bool valid_utf8(std::string_view text) {
  return g_utf8_validate_len(text.data(), text.size(), nullptr) != 0;
}

// Unicode lower case for valid UTF-8, ASCII lower case for anything else.
std::string lower(std::string_view text) {
  if (valid_utf8(text)) {
    GCharPtr down(g_utf8_strdown(text.data(), static_cast<gssize>(text.size())));
    return {down.get()};
  }
  return ascii_lower(text);
}

std::string trim_spaces_tabs(std::string_view text) {
  auto b = text.find_first_not_of(" \t");
  if (b == std::string_view::npos) return {};
  auto e = text.find_last_not_of(" \t");
  return std::string(text.substr(b, e - b + 1));
}

std::string join(const std::string& dir, std::string_view name) {
  if (name.empty()) return dir;
  if (dir.empty()) return std::string(name);
  if (dir.back() == '/') return dir + std::string(name);
  return dir + "/" + std::string(name);
}

std::string last_component(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  auto slash = p.rfind('/');
  if (slash == std::string::npos || p.size() == 1) return p;
  return p.substr(slash + 1);
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool is_dir(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A small git file as text; nullopt when unreadable or not UTF-8.
std::optional<std::string> read_text(const std::string& path) {
  struct stat st {};
  // Only regular files: a FIFO named HEAD would block the scan.
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  auto data = fs::read_file(path);
  if (!data || !valid_utf8(*data)) return std::nullopt;
  return data;
}

std::vector<std::string> split_any_newline(std::string_view text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\n' || text[i] == '\r') {
      out.emplace_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return out;
}

// Calls `visit(name, d_type)` for each entry of `dir` in the file system's order until it
// returns false. False when the folder cannot be listed.
template <typename Visit>
bool list_dir(const std::string& dir, Visit visit) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return false;
  while (dirent* e = ::readdir(d)) {
    std::string_view name(e->d_name);
    if (name == "." || name == "..") continue;
    if (!visit(name, e->d_type)) break;
  }
  ::closedir(d);
  return true;
}

// Directory test that skips the stat for entries whose type the listing already gives.
bool entry_is_dir(const std::string& path, unsigned char d_type) {
  if (d_type == DT_DIR) return true;
  if (d_type == DT_LNK || d_type == DT_UNKNOWN) return is_dir(path);
  return false;
}

std::optional<std::string> origin_url(const std::string& config_path) {
  auto text = read_text(config_path);
  if (!text) return std::nullopt;
  bool in_origin = false;
  for (const auto& raw : split_any_newline(*text)) {
    std::string line = trim_spaces_tabs(raw);
    if (line.starts_with("[")) {
      in_origin = line.find("remote \"origin\"") != std::string::npos ||
                  line.find("remote 'origin'") != std::string::npos;
      continue;
    }
    if (in_origin && line.starts_with("url")) {
      auto eq = line.find('=');
      if (eq == std::string::npos) continue;
      return trim_spaces_tabs(std::string_view(line).substr(eq + 1));
    }
  }
  return std::nullopt;
}

class Scan {
 public:
  Scan(std::string home, int max_repos, Clock::time_point deadline)
      : home_(std::move(home)), max_repos_(max_repos), deadline_(deadline) {}

  bool should_stop() const {
    return Clock::now() > deadline_ || std::cmp_greater_equal(results_.size(), max_repos_);
  }

  // Records `path` when it is a working copy not seen before.
  bool inspect(const std::string& path) {
    if (seen_.contains(path)) return false;
    const std::string marker = join(path, ".git");
    struct stat st {};
    if (::stat(marker.c_str(), &st) != 0) return false;
    seen_.insert(path);

    std::string git_dir = marker;
    if (!S_ISDIR(st.st_mode)) {
      // A linked worktree or a submodule: ".git" is a file naming the real git folder.
      if (auto text = read_text(marker)) {
        for (const auto& raw : split_any_newline(*text)) {
          std::string line = trim_spaces_tabs(raw);
          if (!line.starts_with("gitdir:")) continue;
          std::string target = trim_spaces_tabs(std::string_view(line).substr(7));
          git_dir = target.starts_with("/") ? target : join(path, target);
          break;
        }
      }
    }

    std::optional<std::string> branch;
    if (auto head = read_text(join(git_dir, "HEAD"))) {
      std::string h = trim(*head);
      constexpr std::string_view kRef = "ref: refs/heads/";
      if (h.starts_with(kRef)) branch = h.substr(kRef.size());
    }

    std::string common_dir = git_dir;
    if (auto common = read_text(join(git_dir, "commondir"))) {
      std::string c = trim(*common);
      if (!c.empty()) {
        common_dir = c.starts_with("/") ? c : standardize_path(join(git_dir, c), home_);
      }
    }

    auto remote = origin_url(join(common_dir, "config"));
    json entry = {{"path", path},
                  {"name", last_component(path)},
                  {"remoteUrl", remote ? json(*remote) : json(nullptr)},
                  {"branch", branch.value_or("main")},
                  {"provider", remote ? provider_for(*remote) : "other"}};
    results_.push_back(std::move(entry));
    return true;
  }

  void walk(const std::string& dir, int depth) {
    if (should_stop() || depth > kMaxDepth) return;
    list_dir(dir, [&](std::string_view name, unsigned char d_type) {
      if (should_stop()) return false;
      if (name.starts_with(".") || skip_set().contains(name)) return true;
      std::string child = join(dir, name);
      if (!entry_is_dir(child, d_type)) return true;
      // A recorded repository is not searched for nested ones.
      if (!inspect(child) && depth < kMaxDepth) walk(child, depth + 1);
      return true;
    });
  }

  void home_pass() {
    if (should_stop()) return;
    list_dir(home_, [&](std::string_view name, unsigned char d_type) {
      if (should_stop()) return false;
      if (name.starts_with(".") || skip_set().contains(name)) return true;
      std::string child = join(home_, name);
      if (entry_is_dir(child, d_type)) inspect(child);
      return true;
    });
  }

  json sorted_results() {
    std::vector<std::pair<std::string, json>> keyed;
    keyed.reserve(results_.size());
    for (auto& entry : results_) {
      keyed.emplace_back(lower(entry["name"].get<std::string>()), std::move(entry));
    }
    std::ranges::stable_sort(keyed, [](const auto& a, const auto& b) { return a.first < b.first; });
    json out = json::array();
    for (auto& [key, entry] : keyed) out.push_back(std::move(entry));
    return out;
  }

 private:
  std::string home_;
  int max_repos_;
  Clock::time_point deadline_;
  std::unordered_set<std::string> seen_;
  std::vector<json> results_;
};

json detect_one(const std::string& tool) {
  proc::Options o;
  o.argv = {"/usr/bin/env", tool, "--version"};
  o.out = proc::Stdio::pipe();
  o.err = proc::Stdio::pipe();
  proc::RunOptions ro;
  // A tool that never exits must not hold a pool thread forever.
  ro.timeout = std::chrono::seconds(10);
  ro.max_capture = 1 << 20;
  ro.eof_wait_after_exit = std::chrono::milliseconds(500);
  auto r = proc::run(o, ro);
  if (!r) return {{"available", false}, {"version", nullptr}};
  json version = valid_utf8(r->out) ? json(first_line(trim(r->out))) : json(nullptr);
  return {{"available", r->status.success()}, {"version", std::move(version)}};
}

}  // namespace

std::vector<std::string> default_roots(const std::string& home) {
  std::vector<std::string> roots;
  roots.reserve(kDefaultRootSuffixes.size());
  for (const char* suffix : kDefaultRootSuffixes) roots.push_back(home + suffix);
  return roots;
}

std::string provider_for(const std::string& remote_url) {
  const std::string url = lower(remote_url);
  auto has = [&](std::string_view s) { return url.find(s) != std::string::npos; };
  if (has("github.com") || has("github:")) return "github";
  if (has("bitbucket.org") || has("bitbucket.com") || has("bitbucket:")) return "bitbucket";
  if (has("gitlab.com") || has("gitlab:")) return "gitlab";
  return "other";
}

std::string standardize_path(const std::string& path, const std::string& home) {
  std::string p = path;
  if (p == "~" || p.starts_with("~/")) p = home + p.substr(1);
  if (p.empty()) return p;
  std::string out = std::filesystem::path(p).lexically_normal().string();
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

json detect_tools() {
  json git = detect_one("git");
  json gh = detect_one("gh");
  return {{"gitAvailable", git["available"]},
          {"gitVersion", git["version"]},
          {"ghAvailable", gh["available"]},
          {"ghVersion", gh["version"]},
          {"home", paths::home_dir()}};
}

ScanOptions scan_options_from_args(const json& args) {
  ScanOptions options;
  if (auto n = number_arg(args, "maxRepos"); n && std::isfinite(*n)) {
    double clamped = std::clamp(std::trunc(*n), 1.0, 200.0);
    options.max_repos = static_cast<int>(clamped);
  }
  auto it = args.is_object() ? args.find("extraRoots") : args.end();
  if (args.is_object() && it != args.end() && it->is_array() &&
      std::all_of(it->begin(), it->end(), [](const json& v) { return v.is_string(); })) {
    for (const auto& v : *it) options.extra_roots.push_back(v.get<std::string>());
  }
  return options;
}

json scan_repos(const ScanOptions& options) {
  const int max_repos = std::clamp(options.max_repos, 1, 200);
  const std::string home = paths::home_dir();
  const std::string home_std = standardize_path(home, home);

  std::vector<std::string> roots = default_roots(home);
  bool home_mode = false;
  for (const auto& raw : options.extra_roots) {
    std::string root = trim(raw);
    if (root.empty()) continue;
    std::string standardized = standardize_path(root, home);
    if (standardized == home || standardized == home_std) {
      home_mode = true;
      continue;
    }
    // The file system knows no "~": a root written from the home folder is taken from there.
    if (root.starts_with("~/")) root.replace(0, 1, home);
    roots.push_back(root);
  }
  if (home_mode) roots.clear();

  std::vector<std::string> unique;
  std::unordered_set<std::string> taken;
  for (auto& root : roots) {
    if (taken.insert(root).second) unique.push_back(root);
  }

  Scan scan(home, max_repos, Clock::now() + (home_mode ? options.home_budget : options.budget));
  for (const auto& root : unique) {
    if (scan.should_stop()) break;
    if (!exists(root)) continue;
    // The root itself is always walked, even when it is a repository.
    scan.inspect(root);
    scan.walk(root, 0);
  }
  scan.home_pass();
  return scan.sorted_results();
}

json find_local_repo(const std::string& slug) {
  const std::string home = paths::home_dir();
  const std::string wanted = lower(slug);
  for (const char* suffix : kFindRootSuffixes) {
    const std::string root = home + suffix;
    const std::string direct = join(root, wanted);
    if (exists(join(direct, ".git"))) return {{"found", true}, {"path", direct}};
    std::optional<std::string> match;
    list_dir(root, [&](std::string_view name, unsigned char /*d_type*/) {
      if (lower(name) != wanted) return true;
      std::string candidate = join(root, name);
      if (!exists(join(candidate, ".git"))) return true;
      match = std::move(candidate);
      return false;
    });
    if (match) return {{"found", true}, {"path", *match}};
  }
  return {{"found", false}, {"path", nullptr}};
}

}  // namespace vessa::commands::repos
