// The shell line that signs the user in to a coding CLI, from the page's request.
#pragma once

#include <optional>
#include <string>
#include <tl/expected.hpp>

namespace vessa::commands::cli {

/// The whole-command allow-list for cli_login.
bool is_allowed_login_command(const std::string& command);

/// The line the terminal runs for `command` (already allow-listed), optionally inside the
/// per-account folder `account_dir` under `home`. The error is the page's failure message.
tl::expected<std::string, std::string> login_shell_line(
    const std::string& command, const std::optional<std::string>& account_dir,
    const std::string& home);

}  // namespace vessa::commands::cli
