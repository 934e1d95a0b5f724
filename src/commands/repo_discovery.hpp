// Finding git working copies on the local disk: tool detection, the bounded scan of the usual
// project folders, and lookup of one repository by its short name.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "support/json.hpp"

namespace vessa::commands::repos {

/// {"gitAvailable", "gitVersion", "ghAvailable", "ghVersion", "home"}. Starts `/usr/bin/env`
/// twice and waits for each; call on a pool thread.
json detect_tools();

struct ScanOptions {
  int max_repos = 80;  // clamped to 1..200
  std::vector<std::string> extra_roots;
  /// Time budgets; tests shorten them.
  std::chrono::milliseconds budget{std::chrono::seconds(12)};
  std::chrono::milliseconds home_budget{std::chrono::seconds(8)};
};

/// Reads `maxRepos` and `extraRoots` the way the page sends them.
ScanOptions scan_options_from_args(const json& args);

/// The repository entries under the default and extra roots and the home folder, sorted by
/// name case-insensitively (stable). Reads git's files only; never runs git.
json scan_repos(const ScanOptions& options);

/// {"found": true, "path": ...} or {"found": false, "path": null}.
json find_local_repo(const std::string& slug);

/// The 22 folders under `home` that are searched by default, in order.
std::vector<std::string> default_roots(const std::string& home);

/// Provider name for a remote URL: "github", "bitbucket", "gitlab" or "other".
std::string provider_for(const std::string& remote_url);

/// Lexical standardisation: a leading "~" becomes `home`, "." and ".." components are resolved,
/// a trailing "/" is dropped.
std::string standardize_path(const std::string& path, const std::string& home);

}  // namespace vessa::commands::repos
