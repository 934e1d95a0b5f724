// The user's login shell, the one every login-shell lookup and install runs.
#include "support/login_shell.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace vessa {

std::string login_shell() {
  // Started from cron, a service or `env -i`, SHELL is often unset: the account still names one.
  if (const char* shell = std::getenv("SHELL"); shell != nullptr && *shell != '\0') return shell;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buf.data(), buf.size(), &found) == 0 && found != nullptr &&
      found->pw_shell != nullptr && found->pw_shell[0] != '\0') {
    return found->pw_shell;
  }
  return "/bin/sh";
}

}  // namespace vessa
