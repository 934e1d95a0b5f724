// The Obsidian vault reader.
#include "commands/command_registry.hpp"
#include "commands/obsidian_vault.hpp"
#include "support/dispatch.hpp"

namespace vessa {

bool CommandRegistry::handleFs(const std::string& cmd, const json& args, const Completion& done) {
  if (cmd != "read_obsidian_vault") return false;
  dispatch::global_async([done, path = string_arg(args, "path").value_or("")] {
    auto notes = ObsidianVault::read(path);
    done(notes ? CommandResult::success(std::move(*notes)) : CommandResult::failure(notes.error()));
  });
  return true;
}

}  // namespace vessa
