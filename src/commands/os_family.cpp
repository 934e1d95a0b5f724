// The os plug-in's asynchronous getters (the synchronous ones live in the page script).
#include <unistd.h>

#include <cstdlib>
#include <string_view>

#include "commands/command_registry.hpp"
#include "commands/families.hpp"
#include "platform/services.hpp"

namespace vessa::commands {
namespace {

// The user's locale as a BCP 47 tag ("en_US.UTF-8" is "en-US"); none for C/POSIX.
json current_locale() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') continue;
    std::string tag(value);
    tag = tag.substr(0, tag.find_first_of(".@"));
    if (tag.empty() || tag == "C" || tag == "POSIX") return nullptr;
    for (char& c : tag) {
      if (c == '_') c = '-';
    }
    return tag;
  }
  return nullptr;
}

std::string host_name() {
  if (auto names = FamilyContext::services().host_names) return names->network_name();
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return "";
  return buf;
}

}  // namespace

bool handleOs(FamilyContext& /*ctx*/, const std::string& cmd, const json& /*args*/,
              const Completion& done) {
  if (cmd == "plugin:os|locale") {
    done(CommandResult::success(current_locale()));
    return true;
  }
  if (cmd == "plugin:os|hostname") {
    done(CommandResult::success(host_name()));
    return true;
  }
  return false;
}

}  // namespace vessa::commands
