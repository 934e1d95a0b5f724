// The deep-link plug-in: the links this instance started with and whether a scheme is ours.
// Registering other schemes at run time is left to the desktop entry, which declares ours:
// those operations stay unanswered by any family (not implemented).
#include <glib.h>

#include "commands/command_registry.hpp"
#include "commands/deep_link.hpp"
#include "commands/families.hpp"
#include "support/utf8.hpp"

namespace vessa::commands {

bool handleDeepLink(FamilyContext& /*ctx*/, const std::string& cmd, const json& args,
                    const Completion& done) {
  if (cmd == "plugin:deep-link|get_current") {
    auto links = deep_link::launch_links();
    done(CommandResult::success(links ? json(*links) : json(nullptr)));
    return true;
  }
  if (cmd == "plugin:deep-link|is_registered") {
    auto protocol = string_arg(args, "protocol");
    if (!protocol) {
      done(CommandResult::failure("is_registered: missing protocol"));
      return true;
    }
    // Scheme names do not depend on case.
    done(CommandResult::success(ascii_lower(*protocol) == deep_link::scheme()));
    return true;
  }
  return false;
}

}  // namespace vessa::commands
