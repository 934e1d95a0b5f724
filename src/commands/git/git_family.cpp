// Git commands: argument checks on the caller's thread, the git work on the pool.
#include "commands/background.hpp"
#include "commands/command_registry.hpp"
#include "commands/git/git_command_shell.hpp"
#include "commands/git/git_commands.hpp"

namespace vessa {
namespace {

// A required argument: present, a string, not empty.
std::optional<std::string> required(const json& args, std::string_view key) {
  auto v = string_arg(args, key);
  if (!v || v->empty()) return std::nullopt;
  return v;
}

}  // namespace

bool CommandRegistry::handleGit(const std::string& cmd, const json& args, const Completion& done) {
  if (cmd == "git_clone") {
    auto url = required(args, "url");
    if (!url) return done(CommandResult::failure("git_clone: missing url")), true;
    auto path = required(args, "path");
    if (!path) return done(CommandResult::failure("git_clone: missing path")), true;
    std::string branch = string_arg(args, "branch").value_or("");
    background::run(cmd, done,
                    [url = *url, path = *path, branch] { return git::clone(url, path, branch); });
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
    if (!name || name->empty()) {
      return done(CommandResult::failure(cmd + ": missing branchName")), true;
    }
    if (cmd == "git_create_branch") {
      background::run(cmd, done,
                      [path = *path, name = *name] { return git::createBranch(path, name); });
    } else {
      background::run(cmd, done,
                      [path = *path, name = *name] { return git::checkout(path, name); });
    }
    return true;
  }
  if (cmd == "git_push") {
    auto path = required(args, "path");
    if (!path) return done(CommandResult::failure("git_push: missing path")), true;
    std::string remote = required(args, "remote").value_or("origin");
    std::string branch = string_arg(args, "branch").value_or("");
    background::run(cmd, done,
                    [path = *path, remote, branch] { return git::push(path, remote, branch); });
    return true;
  }
  return false;
}

}  // namespace vessa
