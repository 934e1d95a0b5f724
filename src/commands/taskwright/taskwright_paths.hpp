// The Taskwright runtime home's layout and the predicates that read it.
#pragma once

#include <optional>
#include <string>

namespace vessa::commands::taskwright {

/// `~/.vessa-taskwright`, the runtime home (never created by the shell).
std::string home();
/// `~/.vessa-taskwright/bin/radaro`, the runtime's program.
std::string binary();
/// `~/.vessa-taskwright/home`, the data folder handed to radaro as RADARO_HOME.
std::string data_dir();
/// `~/.vessa-taskwright/.install-incomplete`, written by the installer while it works.
std::string incomplete_marker();
/// `~/.vessa/taskwright-install-in-progress`, written by the installer while it runs.
std::string in_progress_marker();
/// `~/.vessa-taskwright/.installed-version`, holding an "upstream_tag=" line.
std::string installed_version_file();

/// The program exists and neither install marker does.
bool isInstalled();
/// Either install marker exists.
bool isInstallIncomplete();
/// The tag after "upstream_tag=" on the first such line, trimmed of spaces and tabs; nullopt
/// when the file cannot be read or holds no such line.
std::optional<std::string> readInstalledTag();
/// `install-taskwright.sh` in the bundle's Resources/taskwright/, else in
/// `apps/desktop/taskwright/` of the executable's folder or one of its nine nearest ancestors.
std::optional<std::string> locateInstaller();

/// True when anything (a dangling symbolic link included) exists at `path`.
bool item_exists(const std::string& path);

}  // namespace vessa::commands::taskwright
