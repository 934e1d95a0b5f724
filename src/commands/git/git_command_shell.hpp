// The one place that starts git: the binary, a non-interactive environment, captured output,
// per-call time-outs, and the small helpers every git command uses.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "commands/command_result.hpp"
#include "support/json.hpp"
#include "support/subprocess.hpp"

namespace vessa::commands::git {

/// The outcome of one git run.
struct Out {
  /// Exit status; the signal number when a signal ended it; -1 when it could not start.
  int status = 0;
  /// Whole standard output as UTF-8; "" when the bytes are not valid UTF-8.
  std::string out;
  /// Whole standard error, decoded the same way; "failed to run git: ..." when it did not start.
  std::string err;

  bool ok() const { return status == 0; }
  /// What a failed run reports: trimmed stderr, else trimmed stdout, else
  /// "git exited with status N".
  std::string errorMessage() const;
};

/// Static operations only. Every run blocks the calling thread: call from the pool, never from
/// the main thread. Safe to call from several threads at once.
class GitCommandShell {
 public:
  /// Absolute path of git: the login shell's answer when executable, else the first executable
  /// of the usual install locations, else "/usr/bin/git". Resolved once per process.
  static const std::string& gitBinary();
  /// The PATH every git child gets (the enriched child PATH), computed once per process.
  static const std::string& cachedPath();

  /// Runs `executable` with `args` (no shell), standard input from the null device, both
  /// streams captured. After `timeout` seconds the child's process group gets SIGTERM, then
  /// SIGKILL 300 ms later. Never throws.
  static Out exec(const std::string& executable, const std::vector<std::string>& args,
                  double timeout);
  /// `gitBinary()` with "-C", `repo` (when given), then `args`.
  static Out run(const std::vector<std::string>& args, const std::optional<std::string>& repo,
                 double timeout);

  /// The environment a git child gets, built from `inherited`: PATH replaced, prompts and
  /// ask-pass programs off, ssh in batch mode unless GIT_SSH_COMMAND is inherited, C locale.
  static proc::Environment environment(const proc::Environment& inherited, const std::string& path);

  /// nullopt when `path` is a work tree (with a `.git` file or folder) or a bare repository;
  /// otherwise "could not find repository at '<path>'". Runs no git.
  static std::optional<std::string> openRepo(const std::string& path);
  /// The first line of `text` after trimming both ends; nullopt when nothing is left.
  static std::optional<std::string> firstLine(std::string_view text);
  /// The string under "branchName" (even ""), else under "branch_name", else nullopt.
  static std::optional<std::string> branchArg(const json& args);

  /// The repository status query (`git_status`). Blocks.
  static CommandResult status(const std::string& path);
};

/// Paths from `git status --porcelain -z`, sorted into the status lists.
struct PorcelainLists {
  std::vector<std::string> conflict_files;
  std::vector<std::string> modified;
  std::vector<std::string> staged_files;
  std::vector<std::string> untracked_files;
};

/// Sorts NUL-separated porcelain v1 entries; the entry after a rename or copy (its old path)
/// is skipped.
PorcelainLists parse_porcelain_z(std::string_view output);

/// `ahead` and `behind` from the first line of `rev-list --left-right --count`; both 0 when
/// the line is missing or has fewer than two fields.
std::pair<int, int> parse_ahead_behind(std::string_view output);

/// A whole decimal integer (optional sign), or nullopt.
std::optional<int> parse_int(std::string_view text);

/// A name git takes as one branch (the rules of `git check-ref-format --branch`), which can
/// also never be read as an option ("-"), a forced refspec ("+"), a pattern or a refspec pair.
bool is_valid_branch_name(std::string_view name);
/// A configured remote's name under the same rules: never a URL, path or option.
bool is_valid_remote_name(std::string_view name);

}  // namespace vessa::commands::git
