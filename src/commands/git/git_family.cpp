// Git commands: argument checks on the caller's thread, the git work on the pool.
#include "commands/background.hpp"
#include "commands/command_registry.hpp"
#include "commands/families.hpp"
#include "commands/git/git_command_shell.hpp"
#include "commands/git/git_commands.hpp"

namespace vessa::commands {
namespace {

bool has_nul(const std::string& text) { return text.find('\0') != std::string::npos; }

// A required argument: present, a string, not empty, and whole as a process argument (a NUL
// would cut it short).
std::optional<std::string> required(const json& args, std::string_view key) {
  auto v = string_arg(args, key);
  if (!v || v->empty() || has_nul(*v)) return std::nullopt;
  return v;
}

// An optional branch: absent or empty is "", a value git would not take as one branch name
// is nullopt.
std::optional<std::string> optional_branch(const json& args) {
  std::string branch = string_arg(args, "branch").value_or("");
  if (!branch.empty() && !git::is_valid_branch_name(branch)) return std::nullopt;
  return branch;
}

}  // namespace

bool handleGit(FamilyContext& /*ctx*/, const std::string& cmd, const json& args,
               const Completion& done) {
  if (cmd == "git_clone") {
    auto url = required(args, "url");
    if (!url) return done(CommandResult::failure("git_clone: missing url")), true;
    auto path = required(args, "path");
    if (!path) return done(CommandResult::failure("git_clone: missing path")), true;
    auto branch = optional_branch(args);
    if (!branch) return done(CommandResult::failure("git_clone: missing branch")), true;
    background::run(cmd, done, [url = *url, path = *path, branch = *branch] {
      return git::clone(url, path, branch);
    });
    return true;
  }
  if (cmd == "git_pull" || cmd == "git_status") {
    auto path = required(args, "path");
    if (!path) return done(CommandResult::failure(cmd + ": missing path")), true;
    if (cmd == "git_pull") {
      background::run(cmd, done, [path = *path] { return git::pull(path); });
    } else {
      background::run(cmd, done, [path = *path] { return git::GitCommandShell::status(path); });
    }
    return true;
  }
  if (cmd == "git_create_branch" || cmd == "git_checkout") {
    auto path = required(args, "path");
    if (!path) return done(CommandResult::failure(cmd + ": missing path")), true;
    auto name = git::GitCommandShell::branchArg(args);
    if (!name || !git::is_valid_branch_name(*name)) {
      return done(CommandResult::failure(cmd + ": missing branchName")), true;
    }
    if (cmd == "git_create_branch") {
      background::run(cmd, done,
                      [path = *path, name = *name] { return git::create_branch(path, name); });
    } else {
      background::run(cmd, done,
                      [path = *path, name = *name] { return git::checkout(path, name); });
    }
    return true;
  }
  if (cmd == "git_push") {
    auto path = required(args, "path");
    if (!path) return done(CommandResult::failure("git_push: missing path")), true;
    std::string remote = string_arg(args, "remote").value_or("");
    if (remote.empty()) remote = "origin";
    if (!git::is_valid_remote_name(remote)) {
      return done(CommandResult::failure("git_push: missing remote")), true;
    }
    auto branch = optional_branch(args);
    if (!branch) return done(CommandResult::failure("git_push: missing branch")), true;
    background::run(cmd, done, [path = *path, remote, branch = *branch] {
      return git::push(path, remote, branch);
    });
    return true;
  }
  return false;
}

}  // namespace vessa::commands
