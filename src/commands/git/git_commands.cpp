// The git operations behind the page's git commands. Each blocks on git: call from the pool.
//
// Names and URLs come from the page. Each goes to git as its own argument, behind "--" where
// git reads options, so a value beginning with "-" is taken as a name and never as an option.
#include "commands/git/git_commands.hpp"

#include "commands/git/git_command_shell.hpp"

namespace vessa::commands::git {
namespace {

using Shell = GitCommandShell;

CommandResult fail(const Out& o) { return CommandResult::failure(o.errorMessage()); }

// The current branch, or the failure to report: git's error, or a detached HEAD.
std::optional<CommandResult> current_branch(const std::string& path, std::string& branch) {
  Out head = Shell::run({"rev-parse", "--abbrev-ref", "HEAD"}, path, 30);
  if (!head.ok()) return fail(head);
  auto name = Shell::firstLine(head.out);
  if (!name || name->empty() || *name == "HEAD") {
    return CommandResult::failure("HEAD is not a branch");
  }
  branch = *name;
  return std::nullopt;
}

}  // namespace

CommandResult clone(const std::string& url, const std::string& path, const std::string& branch) {
  std::vector<std::string> args{"clone"};
  // "--branch=<b>" keeps a name beginning with "-" a name.
  if (!branch.empty()) args.push_back("--branch=" + branch);
  args.insert(args.end(), {"--", url, path});
  Out cloned = Shell::run(args, std::nullopt, 900);
  if (!cloned.ok()) return fail(cloned);

  Out head = Shell::run({"rev-parse", "--abbrev-ref", "HEAD"}, path, 30);
  std::string current = "HEAD";
  if (head.ok()) current = Shell::firstLine(head.out).value_or("HEAD");
  return CommandResult::success({{"path", path}, {"branch", current}});
}

CommandResult pull(const std::string& path) {
  if (auto missing = Shell::openRepo(path)) return CommandResult::failure(*missing);
  std::string branch;
  if (auto failed = current_branch(path, branch)) return *failed;

  // A ref named like an option can exist (update-ref allows it): keep it a name.
  Out fetched = Shell::run({"fetch", "origin", "--", branch}, path, 300);
  if (!fetched.ok()) return fail(fetched);

  Out local_head = Shell::run({"rev-parse", "HEAD"}, path, 30);
  auto local = local_head.ok() ? Shell::firstLine(local_head.out) : std::nullopt;
  Out fetch_head = Shell::run({"rev-parse", "FETCH_HEAD"}, path, 30);
  auto remote = fetch_head.ok() ? Shell::firstLine(fetch_head.out) : std::nullopt;
  if (!local || !remote) return CommandResult::failure("could not resolve FETCH_HEAD");

  Out contained = Shell::run({"merge-base", "--is-ancestor", *remote, *local}, path, 30);
  if (contained.ok()) return CommandResult::success({{"updated", false}, {"newCommits", 0}});

  Out fast_forward = Shell::run({"merge-base", "--is-ancestor", *local, *remote}, path, 30);
  if (!fast_forward.ok()) {
    return CommandResult::failure("Merge required - please resolve conflicts manually");
  }

  Out count = Shell::run({"rev-list", "--count", *local + ".." + *remote}, path, 60);
  int new_commits = 1;
  if (count.ok()) {
    if (auto line = Shell::firstLine(count.out)) new_commits = parse_int(*line).value_or(1);
  }

  Out merged = Shell::run({"merge", "--ff-only", *remote}, path, 300);
  if (!merged.ok()) return fail(merged);
  return CommandResult::success({{"updated", true}, {"newCommits", new_commits}});
}

CommandResult create_branch(const std::string& path, const std::string& name) {
  if (auto missing = Shell::openRepo(path)) return CommandResult::failure(*missing);
  Out created = Shell::run({"branch", "--", name}, path, 60);
  if (!created.ok()) return fail(created);
  return CommandResult::success("Created branch: " + name);
}

CommandResult checkout(const std::string& path, const std::string& name) {
  if (auto missing = Shell::openRepo(path)) return CommandResult::failure(*missing);
  // checkout (git 2.39) has no end-of-options marker, and "-f" or "--orphan=x" would run as
  // options; no valid branch or tag name begins with "-".
  if (!name.empty() && name.front() == '-') {
    return CommandResult::failure("'" + name + "' is not a valid branch name");
  }
  // The trailing "--" makes git read `name` as a revision only: a file of that name is not
  // restored from the index (which would discard its changes and still report success).
  Out switched = Shell::run({"checkout", name, "--"}, path, 120);
  if (!switched.ok()) return fail(switched);
  return CommandResult::success("Checked out: " + name);
}

CommandResult push(const std::string& path, const std::string& remote, const std::string& branch) {
  if (auto missing = Shell::openRepo(path)) return CommandResult::failure(*missing);
  std::string name = branch;
  if (name.empty()) {
    if (auto failed = current_branch(path, name)) return *failed;
  }
  std::string ref = "refs/heads/" + name;
  Out pushed = Shell::run({"push", "--", remote, ref + ":" + ref}, path, 300);
  if (!pushed.ok()) return fail(pushed);
  return CommandResult::success("Pushed " + name + " to " + remote + "/" + name);
}

}  // namespace vessa::commands::git
