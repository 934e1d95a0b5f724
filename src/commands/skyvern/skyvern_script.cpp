// Locating and running the Skyvern installer scripts with their output streamed line by line.
#include "commands/skyvern/skyvern_script.hpp"

#include <chrono>
#include <filesystem>

#include "commands/skyvern/skyvern_docker.hpp"
#include "commands/skyvern/skyvern_text.hpp"
#include "support/paths.hpp"
#include "support/subprocess.hpp"

namespace vessa::commands::skyvern {
namespace {

namespace stdfs = std::filesystem;

// After the script exits, how long its pipes may stay open: a daemon it started in the
// background (colima, say) can inherit them and never close them.
constexpr auto kDrainAfterExit = std::chrono::seconds(5);

bool path_exists(const stdfs::path& p) {
  std::error_code ec;
  return stdfs::exists(p, ec);
}

bool blank(const std::string& line) { return line.find_first_not_of(" \t") == std::string::npos; }

}  // namespace

std::optional<std::string> skyvernLocateScript(const std::string& name) {
  if (auto resources = paths::bundle_resources_dir()) {
    for (const auto& candidate : {*resources / "skyvern" / name, *resources / name}) {
      if (path_exists(candidate)) return candidate.string();
    }
  }
  stdfs::path dir = paths::executable_path().parent_path();
  for (int i = 0; i < 10; ++i) {
    stdfs::path candidate = dir / "apps" / "desktop" / "skyvern" / name;
    if (path_exists(candidate)) return candidate.string();
    dir = dir.parent_path();
  }
  return std::nullopt;
}

SkyvernScriptRun skyvernRunScript(const std::string& path, const std::string& spawn_error_prefix,
                                  const std::function<void(const std::string&)>& on_progress) {
  proc::Options o;
  o.argv = {"/bin/bash", path};
  o.env = proc::current_environment();
  (*o.env)["PATH"] = skyvernPath();
  // Nobody types into an installer started from the window: a prompt must fail, not hang.
  o.in = proc::Stdio::null();
  o.out = proc::Stdio::pipe();
  o.err = proc::Stdio::pipe();

  std::string last_line;
  ScriptLineStream out_lines([&](const std::string& line) {
    if (!blank(line)) last_line = line;
    on_progress(line);
  });
  ScriptLineStream err_lines([&](const std::string& line) { on_progress("[docker] " + line); });

  proc::RunOptions ro;
  ro.on_stdout = [&](std::string_view chunk) { out_lines.feed(chunk); };
  ro.on_stderr = [&](std::string_view chunk) { err_lines.feed(chunk); };
  ro.eof_wait_after_exit = kDrainAfterExit;

  SkyvernScriptRun run;
  auto result = proc::run(o, ro);
  if (!result) {
    run.spawnError = spawn_error_prefix + ": " + result.error();
    return run;
  }
  out_lines.finish();
  err_lines.finish();
  const proc::ExitStatus& status = result->status;
  if (status.exited) run.exitCode = status.code;
  run.exitedZero = status.success();
  run.exitDebug = status.describe();
  run.lastLine = last_line;
  return run;
}

}  // namespace vessa::commands::skyvern
