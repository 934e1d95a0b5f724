// Moving a command's slow part to the pool so that it answers exactly once, whatever it does.
#pragma once

#include <functional>
#include <string>

#include "commands/command_result.hpp"

namespace vessa::commands::background {

/// The failure a command gets when its own code throws: "<cmd>: internal error: <what>", or
/// "<cmd>: internal error" when nothing describes the throw. Logs the throw. Any thread.
CommandResult internal_error(const std::string& cmd, const std::string& what = {});

/// Work whose return value is the command's answer.
using Work = std::function<CommandResult()>;
/// Work that answers through the completion it is given, now or later, from any thread.
using AnsweringWork = std::function<void(const Completion&)>;

/// Runs `work` on a pool thread and calls `done` once with its result, or with
/// internal_error(cmd, ...) when it throws. Any thread.
void run(const std::string& cmd, Completion done, Work work);

/// Runs `work` on a pool thread. `done` is called once: with the first answer the work gives,
/// else with internal_error(cmd, ...) when the work throws before answering or when the last
/// copy of its completion is dropped unanswered. Any thread.
void run_answering(const std::string& cmd, Completion done, AnsweringWork work);

/// Test hook: the next job started by run() or run_answering() throws std::runtime_error(what)
/// in place of its work, as a fault inside the work would.
void throw_in_next_job_for_testing(const std::string& what);

}  // namespace vessa::commands::background
