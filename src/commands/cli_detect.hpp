// Finding the coding CLIs and their versions for the page.
#pragma once

#include <string>

#include "support/json.hpp"

namespace vessa::commands::cli {

/// The tool entry for `name` found through the login shell: {"installed": true, "version": …}
/// or {"installed": false}. Versions run with PATH = `path_value`.
json detect(const std::string& name, const std::string& path_value);

/// The seven tool entries ("claude", "codex", "opencode", "gemini", "grok", "kimi",
/// "taskwright"). The lookups run concurrently; the enriched PATH is computed once, and only
/// when a version has to be read. Blocks for up to ~15 s (login shells and 5 s version runs).
json detect_all();

}  // namespace vessa::commands::cli
