// Opens the user's terminal emulator running one shell line.
#pragma once

#include "platform/services.hpp"

namespace vessa::platform {

/// Uses $TERMINAL, else the first of x-terminal-emulator, gnome-terminal, konsole,
/// xfce4-terminal, xterm found on PATH, running `$SHELL -lc '<line>; exec $SHELL'`.
class LinuxTerminal : public Terminal {
 public:
  std::optional<std::string> run_line(const std::string& line) override;

  /// The argv that would open `line` (for tests); empty when no terminal is found.
  static std::vector<std::string> command_for(const std::string& line);
};

}  // namespace vessa::platform
