// One-shot runs of the runtime program and the runtime's storage facts: the work behind
// handleTaskwrightBridge.
#pragma once

#include <map>
#include <string>
#include <tl/expected.hpp>
#include <vector>

#include "commands/command_result.hpp"
#include "support/json.hpp"

namespace vessa::commands::taskwright {

/// Most bytes kept per output stream of one run.
constexpr size_t kRadaroOutputCap = 4194304;

/// The sub-verbs allowed after `subcommand`, or null when it has no sub-verb check (or is not
/// a sub-command at all).
const std::vector<std::string>* allowedSubverbs(const std::string& subcommand);

/// `{"a", "b"}`: sorted, each quoted, ", " between, in braces.
std::string debugSet(std::vector<std::string> items);

/// `~/.vessa-taskwright/bin/radaro`.
std::string radaroBinaryPath();

/// The run's time-out from `opts`: `timeout_ms`, else `timeoutMs` when that is absent or not a
/// number; fractions dropped, clamped to 0..300000; 30000 without a number.
long long exec_timeout_ms(const json& opts);

/// Environment overrides from `opts`: the object under `env_overrides` when that key is present
/// (whatever its type), else under `envOverrides`; only string members count. The error is the
/// refusal message when a member would corrupt the environment block or inject code into the
/// program's loader or an interpreter (LD_PRELOAD, NODE_OPTIONS, BASH_ENV, ...).
tl::expected<std::map<std::string, std::string>, std::string> exec_env_overrides(const json& opts);

/// Checks the page's `args` and `opts`, runs radaro and returns the run object (stdout,
/// stderr, exit_code, duration_ms, truncated) or a failure. Blocks up to the time-out.
CommandResult taskwrightExec(const json& args);

/// The `taskwright_storage_info` object.
json taskwright_storage_info();

}  // namespace vessa::commands::taskwright
