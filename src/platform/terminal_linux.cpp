// Opens the user's terminal emulator running one shell line.
#include "platform/terminal_linux.hpp"

#include <cstdlib>

#include "support/login_shell.hpp"
#include "support/subprocess.hpp"

namespace vessa::platform {
namespace {

std::string env_value(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

}  // namespace

std::vector<std::string> LinuxTerminal::command_for(const std::string& line) {
  const std::string shell = login_shell();
  // The line is one argv element: no second level of quoting around it.
  std::vector<std::string> inner = {shell, "-lc", line + "; exec \"${SHELL:-/bin/sh}\""};
  const std::string path = env_value("PATH");

  std::string chosen = env_value("TERMINAL");
  std::string flag = "-e";
  if (chosen.empty() || !proc::find_in_path(chosen, path)) {
    chosen.clear();
    for (const char* t :
         {"x-terminal-emulator", "gnome-terminal", "konsole", "xfce4-terminal", "xterm"}) {
      if (proc::find_in_path(t, path)) {
        chosen = t;
        break;
      }
    }
  }
  if (chosen.empty()) return {};
  std::string base = chosen.substr(chosen.find_last_of('/') + 1);
  if (base == "gnome-terminal") flag = "--";
  if (base == "xfce4-terminal") flag = "-x";
  std::vector<std::string> argv = {chosen, flag};
  argv.insert(argv.end(), inner.begin(), inner.end());
  return argv;
}

std::optional<std::string> LinuxTerminal::run_line(const std::string& line) {
  auto argv = command_for(line);
  if (argv.empty()) return std::string("No terminal emulator found");
  proc::Options o;
  o.argv = std::move(argv);
  o.out = proc::Stdio::null();
  o.err = proc::Stdio::null();
  o.die_with_parent = false;  // the user's window stays when the app goes
  auto started = proc::Process::start(o);
  if (!started) return started.error();
  return std::nullopt;  // the terminal lives on; it is reaped when it ends
}

}  // namespace vessa::platform
