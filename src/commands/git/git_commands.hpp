// The git operations behind the page's git commands. Each blocks on git: call from the pool.
#pragma once

#include <optional>
#include <string>

#include "commands/command_result.hpp"

namespace vessa::commands::git {

/// Clones `url` into `path` (a branch only when `branch` is non-empty); reports the path and
/// the clone's current branch.
CommandResult clone(const std::string& url, const std::string& path, const std::string& branch);

/// Fetches the current branch from origin and fast-forwards to it; never merges.
CommandResult pull(const std::string& path);

/// Creates branch `name` at HEAD without switching to it.
CommandResult create_branch(const std::string& path, const std::string& name);

/// Checks out `name` (a branch, tag or commit; never a file path).
CommandResult checkout(const std::string& path, const std::string& name);

/// Pushes `branch` (the current one when empty) to the same name on `remote`.
CommandResult push(const std::string& path, const std::string& remote, const std::string& branch);

}  // namespace vessa::commands::git
