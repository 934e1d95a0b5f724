// Starting a fresh instance of this program, for the process plug-in's relaunch.
#include "commands/relaunch.hpp"

#include <mutex>

#include "support/fs.hpp"
#include "support/log.hpp"
#include "support/paths.hpp"
#include "support/subprocess.hpp"

namespace vessa::relaunch {
namespace {

std::mutex& starter_mutex() {
  static std::mutex m;
  return m;
}

std::function<bool(const std::vector<std::string>&)>& starter() {
  static std::function<bool(const std::vector<std::string>&)> s;
  return s;
}

bool start_process(const std::vector<std::string>& argv) {
  proc::Options o;
  o.argv = argv;
  o.in = proc::Stdio::null();
  o.out = proc::Stdio::inherit();
  o.err = proc::Stdio::inherit();
  // Its own group: a terminal's Ctrl-C aimed at the old instance must not reach the new one.
  o.new_process_group = true;
  o.die_with_parent = false;  // it replaces us
  auto started = proc::Process::start(o);
  if (!started) {
    vessa::log("relaunch failed: " + started.error());
    return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> newInstanceArgv(std::string_view cmdline, const std::string& program) {
  std::vector<std::string> args;
  size_t start = 0;
  while (start < cmdline.size()) {
    size_t end = cmdline.find('\0', start);
    if (end == std::string_view::npos) end = cmdline.size();
    args.emplace_back(cmdline.substr(start, end - start));
    start = end + 1;
  }
  if (args.empty()) return {};
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--invoke" || args[i] == "--selftest-commands") return {};
  }
  args[0] = program;
  return args;
}

bool startNewInstance() {
  auto cmdline = fs::read_file("/proc/self/cmdline");
  std::string program = paths::executable_path().string();
  if (!paths::is_executable_file(program)) program = "/proc/self/exe";
  std::vector<std::string> argv = newInstanceArgv(cmdline.value_or(""), program);
  if (argv.empty()) {
    vessa::log("relaunch skipped: this run is not an application instance");
    return false;
  }
  std::function<bool(const std::vector<std::string>&)> custom;
  {
    std::lock_guard lock(starter_mutex());
    custom = starter();
  }
  return custom ? custom(argv) : start_process(argv);
}

void set_starter_for_testing(std::function<bool(const std::vector<std::string>&)> s) {
  std::lock_guard lock(starter_mutex());
  starter() = std::move(s);
}

}  // namespace vessa::relaunch
