// The shell line that signs the user in to a coding CLI, from the page's request.
#include "commands/cli_login.hpp"

#include <algorithm>
#include <array>
#include <regex>
#include <string_view>

#include "support/shell_quote.hpp"

namespace vessa::commands::cli {
namespace {

constexpr std::array<std::string_view, 6> kAllowedCommands = {
    "claude auth login", "codex auth login", "codex login", "gemini auth login", "grok",
    "grok login",
};

// The variable that points each tool at another configuration folder.
std::optional<std::string> account_variable(const std::string& tool) {
  if (tool == "claude") return "CLAUDE_CONFIG_DIR";
  if (tool == "codex") return "CODEX_HOME";
  if (tool == "grok") return "GROK_HOME";
  return std::nullopt;
}

}  // namespace

bool is_allowed_login_command(const std::string& command) {
  return std::ranges::any_of(kAllowedCommands, [&](auto allowed) { return command == allowed; });
}

tl::expected<std::string, std::string> login_shell_line(
    const std::string& command, const std::optional<std::string>& account_dir,
    const std::string& home) {
  if (!is_allowed_login_command(command)) {
    return tl::unexpected(std::string("cli_login: command not allowed"));
  }
  if (!account_dir || account_dir->empty()) return command;

  const std::string tool = command.substr(0, command.find(' '));
  const auto variable = account_variable(tool);
  // A home given with a trailing slash must not put "//" into the prefix.
  std::string base = home;
  while (!base.empty() && base.back() == '/') base.pop_back();
  const std::string prefix = base + "/.vessa/cli-accounts/";
  const std::string& folder = *account_dir;
  const bool under_prefix = folder.starts_with(prefix);
  const std::string relative = under_prefix ? folder.substr(prefix.size()) : std::string();
  static const std::regex kRelative("^[a-z]+/[a-z0-9][a-z0-9-]{0,31}$");
  const bool allowed = variable && under_prefix && std::regex_match(relative, kRelative) &&
                       relative.compare(0, tool.size() + 1, tool + "/") == 0;
  if (!allowed) return tl::unexpected(std::string("cli_login: accountDir not allowed"));

  const std::string quoted = shell_quote(folder);
  return "mkdir -p " + quoted + " && " + *variable + "=" + quoted + " " + command;
}

}  // namespace vessa::commands::cli
