// One-shot runs of the runtime program and the runtime's storage facts: the work behind
// handleTaskwrightBridge.
#pragma once

#include <string>
#include <vector>

#include "bridge/command_result.hpp"
#include "support/json.hpp"

namespace vessa::taskwright {

/// Most bytes kept per output stream of one run.
constexpr size_t kRadaroOutputCap = 4194304;

/// The sub-verbs allowed after `subcommand`, or null when it has no sub-verb check (or is not
/// a sub-command at all).
const std::vector<std::string>* allowedSubverbs(const std::string& subcommand);

/// `{"a", "b"}`: sorted, each quoted, ", " between, in braces.
std::string debugSet(std::vector<std::string> items);

/// `~/.vessa-taskwright/bin/radaro`.
std::string radaroBinaryPath();

/// Checks the page's `args` and `opts`, runs radaro and returns the run object (stdout,
/// stderr, exit_code, duration_ms, truncated) or a failure. Blocks up to the time-out.
CommandResult taskwrightExec(const json& args);

/// The `taskwright_storage_info` object.
json taskwrightStorageInfo();

}  // namespace vessa::taskwright
