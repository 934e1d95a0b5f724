// The Obsidian vault reader.
#include "commands/background.hpp"
#include "commands/command_registry.hpp"
#include "commands/families.hpp"
#include "commands/obsidian_vault.hpp"

namespace vessa::commands {

bool handleFs(FamilyContext& /*ctx*/, const std::string& cmd, const json& args,
              const Completion& done) {
  if (cmd != "read_obsidian_vault") return false;
  background::run(cmd, done, [path = string_arg(args, "path").value_or("")] {
    auto notes = obsidian::read(path);
    return notes ? CommandResult::success(std::move(*notes))
                 : CommandResult::failure(notes.error());
  });
  return true;
}

}  // namespace vessa::commands
