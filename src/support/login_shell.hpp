// The user's login shell, the one every login-shell lookup and install runs.
#pragma once

#include <string>

namespace vessa {

/// $SHELL when set and non-empty, else the shell of the user's password-database entry, else
/// "/bin/sh". Any thread.
std::string login_shell();

}  // namespace vessa
