// A staged bundle's record: every entry's kind, permission bits, size and BLAKE2b hash, taken
// when the bundle is staged and checked again right before it replaces the installed one.
#pragma once

#include <filesystem>
#include <string>

#include "updater/update_error.hpp"

namespace vessa::updater {

/// The record of the tree at `root` as text. Refuses a root that is not a real folder (a link
/// included), special files, names that are not plain UTF-8, and links that lead outside the
/// tree (absolute ones included). Blocking: pool threads.
UpdateResult<std::string> describe_staged_tree(const std::filesystem::path& root);

/// Checks the tree at `root` against a record made by `describe_staged_tree`; the error names
/// the first entry that is missing, unexpected or changed. Blocking.
UpdateResult<void> verify_staged_tree(const std::filesystem::path& root, const std::string& record);

}  // namespace vessa::updater
