// Agent script commands.
#include "commands/agents/agent_process_registry.hpp"
#include "commands/background.hpp"
#include "commands/command_registry.hpp"
#include "commands/families.hpp"

namespace vessa::commands {
namespace {

// The page's camel-case name, else its snake-case twin; nullopt unless one is a non-empty string.
// A NUL would cut the value short in the child's argv, so such a value is no usable argument.
std::optional<std::string> id_arg(const json& args, std::string_view camel,
                                  std::string_view snake) {
  for (auto key : {camel, snake}) {
    auto value = string_arg(args, key);
    if (value && !value->empty() && value->find('\0') == std::string::npos) return value;
  }
  return std::nullopt;
}

CommandResult to_result(const CommandOutcome& outcome) {
  return outcome.ok ? CommandResult::success(outcome.message)
                    : CommandResult::failure(outcome.message);
}

}  // namespace

bool handleAgent(FamilyContext& /*ctx*/, const std::string& cmd, const json& args,
                 const Completion& done) {
  if (cmd == "start_agent") {
    auto agent_id = id_arg(args, "agentId", "agent_id");
    if (!agent_id) {
      done(CommandResult::failure("start_agent: missing agentId"));
      return true;
    }
    auto script_path = id_arg(args, "scriptPath", "script_path");
    if (!script_path) {
      done(CommandResult::failure("start_agent: missing scriptPath"));
      return true;
    }
    background::run(cmd, done, [id = *agent_id, script = *script_path] {
      return to_result(AgentProcessRegistry::shared()->start(id, script));
    });
    return true;
  }
  if (cmd == "stop_agent") {
    auto agent_id = id_arg(args, "agentId", "agent_id");
    if (!agent_id) {
      done(CommandResult::failure("stop_agent: missing agentId"));
      return true;
    }
    background::run(cmd, done, [id = *agent_id] {
      return to_result(AgentProcessRegistry::shared()->stop(id));
    });
    return true;
  }
  if (cmd == "list_running_agents") {
    background::run(cmd, done, [] {
      json ids = json::array();
      for (auto& id : AgentProcessRegistry::shared()->list_running()) ids.push_back(std::move(id));
      return CommandResult::success(std::move(ids));
    });
    return true;
  }
  return false;
}

}  // namespace vessa::commands
