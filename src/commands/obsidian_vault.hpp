// Reads an Obsidian vault (a folder of Markdown notes) into note records for the page.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "support/json.hpp"

namespace vessa::commands::obsidian {

/// Folder names never entered, at any depth.
inline constexpr std::array<std::string_view, 5> skipDirs = {".obsidian", ".trash", ".git",
                                                             "node_modules", ".obsidian-git"};
/// The vault folder is depth 0; folders deeper than this are not listed.
inline constexpr int kMaxDepth = 24;

/// The note records of the vault at `path`, in the order found, or "Not a folder: " + `path`.
/// Unreadable folders and unreadable, non-UTF-8 or blank notes are skipped, and so is anything
/// that is not a regular file (FIFOs, devices, also behind links) or exceeds 10 MiB. Any thread.
tl::expected<json, std::string> read(const std::string& path);

/// Paths of the Markdown files under `dir` (names ending in ".md" in any case), in listing
/// order. A folder reached twice (links, loops) is listed once: at the first encounter.
std::vector<std::string> collectMarkdown(const std::string& dir);

/// The first first-level heading after any front matter (200 characters at most), else the
/// file name without its extension, else "Untitled". `text` is UTF-8: `read` skips notes that
/// are not; other bytes are read within bounds but not counted as characters.
std::string titleOf(std::string_view text, const std::string& file);

/// Front-matter "tags:" values, then inline #tags (up to 50 in all), first appearance first.
std::vector<std::string> extractTags(std::string_view text);

/// `text` split at "\n", one trailing "\r" removed per line, no final empty line.
std::vector<std::string_view> lines(std::string_view text);

/// Percent-encodes every UTF-8 byte except ASCII letters, digits, "-", ".", "_" and "~".
std::string urlencode(std::string_view text);

}  // namespace vessa::commands::obsidian
