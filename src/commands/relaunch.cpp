// Starting a fresh instance of this program, for the process plug-in's relaunch.
#include "commands/relaunch.hpp"

#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <sstream>
#include <thread>

#include "support/fs.hpp"
#include "support/log.hpp"
#include "support/paths.hpp"
#include "support/subprocess.hpp"

namespace vessa::commands::relaunch {
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
  if (auto self = proc::read_proc_stat(::getpid())) {
    o.env = proc::current_environment();
    (*o.env)[kReplacesEnv] = std::to_string(::getpid()) + " " + std::to_string(self->start_time);
  }
  auto started = proc::Process::start(o);
  if (!started) {
    vessa::log("relaunch failed: " + started.error());
    return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> new_instance_argv(std::string_view cmdline, const std::string& program) {
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

bool start_new_instance() {
  auto cmdline = fs::read_file("/proc/self/cmdline");
  std::string program = paths::executable_path().string();
  if (!paths::is_executable_file(program)) program = "/proc/self/exe";
  std::vector<std::string> argv = new_instance_argv(cmdline.value_or(""), program);
  if (argv.empty()) {
    vessa::log("relaunch skipped: this run is not an application instance");
    return false;
  }
  std::function<bool(const std::vector<std::string>&)> custom;
  {
    std::scoped_lock lock(starter_mutex());
    custom = starter();
  }
  return custom ? custom(argv) : start_process(argv);
}

bool wait_for_replaced_instance(std::chrono::milliseconds limit) {
  const char* value = std::getenv(kReplacesEnv);
  if (value == nullptr) return false;
  std::istringstream in(value);
  ::unsetenv(kReplacesEnv);
  pid_t pid = 0;
  unsigned long long start_time = 0;
  if (!(in >> pid >> start_time) || pid <= 1) return false;
  // Still the same process (a reused pid is another one), and not yet a zombie.
  auto running = [&] {
    auto st = proc::read_proc_stat(pid);
    return st && st->start_time == start_time && st->state != 'Z' && st->state != 'X';
  };
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (running()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      vessa::log("relaunch: the instance being replaced (pid " + std::to_string(pid) +
                 ") still runs; starting anyway");
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

void set_starter_for_testing(std::function<bool(const std::vector<std::string>&)> s) {
  std::scoped_lock lock(starter_mutex());
  starter() = std::move(s);
}

}  // namespace vessa::commands::relaunch
