// Runtime install, uninstall, reset and status: the work behind handleTaskwright.
#include "commands/taskwright/taskwright_install.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

#include "commands/command_registry.hpp"
#include "commands/taskwright/taskwright_eof_latch.hpp"
#include "commands/taskwright/taskwright_line_stream.hpp"
#include "commands/taskwright/taskwright_paths.hpp"
#include "support/log.hpp"
#include "support/login_path.hpp"
#include "support/paths.hpp"
#include "support/subprocess.hpp"

namespace vessa::commands::taskwright {
namespace {

namespace stdfs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto kDefaultEofWait = std::chrono::seconds(10);
constexpr size_t kReadChunk = 65536;

std::atomic<long long> eof_wait_override_ms{-1};

std::chrono::milliseconds eof_wait() {
  long long ms = eof_wait_override_ms.load();
  return ms >= 0 ? std::chrono::milliseconds(ms) : kDefaultEofWait;
}

void emit_event(const std::weak_ptr<CommandRegistry>& registry, const char* event,
                const json& payload) {
  auto self = registry.lock();
  if (!self) return;
  auto app = self->appDelegate();
  if (!app) return;
  // Events are best-effort; they run on reader threads where a throw would end the process.
  try {
    app->emit(event, payload);
  } catch (const std::exception& e) {
    vessa::log(std::string("dropped ") + event + " event: " + e.what());
  }
}

void emitTaskwrightStatus(const std::weak_ptr<CommandRegistry>& registry, const std::string& status,
                          const std::string& message) {
  emit_event(registry, "taskwright-status", json{{"status", status}, {"message", message}});
}

void emitTaskwrightProgress(const std::weak_ptr<CommandRegistry>& registry,
                            const std::string& line) {
  emit_event(registry, "taskwright-install-progress", json{{"line", line}});
}

bool exists(const std::string& path) {
  std::error_code ec;
  return stdfs::exists(path, ec);
}

// Deletes `path` recursively; the error's description, or nullopt on success.
std::optional<std::string> remove_tree(const std::string& path) {
  std::error_code ec;
  stdfs::remove_all(path, ec);
  if (ec) return ec.message();
  return std::nullopt;
}

// Reads one installer pipe on its own thread until end of file or until stopped, handing
// the bytes to the stream. Stands in for a readability handler; `stop()` removes it.
class PipeReader {
 public:
  PipeReader(int fd, int stop_fd, TaskwrightLineStream& stream, TaskwrightEOFLatch& latch)
      : thread_([=, &stream, &latch] { loop(fd, stop_fd, stream, latch); }) {}
  ~PipeReader() { join(); }
  PipeReader(const PipeReader&) = delete;
  PipeReader& operator=(const PipeReader&) = delete;
  void join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  static void loop(int fd, int stop_fd, TaskwrightLineStream& stream, TaskwrightEOFLatch& latch) {
    std::array<char, kReadChunk> buf{};
    for (;;) {
      std::array<pollfd, 2> fds{pollfd{stop_fd, POLLIN, 0}, pollfd{fd, POLLIN, 0}};
      if (::poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[0].revents != 0) return;  // removed: later output is not delivered
      if (fds[1].revents == 0) continue;
      ssize_t n = ::read(fd, buf.data(), buf.size());
      if (n > 0) {
        stream.feed(std::string_view(buf.data(), static_cast<size_t>(n)));
        continue;
      }
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      break;
    }
    stream.flush();
    latch.stream_ended();
  }

  std::thread thread_;
};

// Cleans a runtime home left by an earlier install; the failure message, if any.
std::optional<std::string> clean_stale_install(const std::weak_ptr<CommandRegistry>& registry) {
  const std::string home = taskwright::home();
  if (!exists(home)) return std::nullopt;
  // A source checkout is never cleaned.
  if (taskwright::item_exists(home + "/.git")) return std::nullopt;
  const bool ours = exists(home + "/.install-incomplete") || exists(home + "/bin/radaro") ||
                    exists(home + "/venv");
  std::vector<std::string> names;
  std::error_code ec;
  for (stdfs::directory_iterator it(home, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  if (ec) names.clear();
  const bool clean =
      names.empty() || (names.size() == 1 && names[0] == ".install-incomplete") || ours;
  if (!clean) return std::nullopt;
  emitTaskwrightProgress(registry, "[vessa] Cleaning stale install at " + home + "\u2026");
  if (auto err = remove_tree(home)) return "Failed to clean " + home + ": " + *err;
  return std::nullopt;
}

}  // namespace

void set_eof_wait_for_testing(std::optional<std::chrono::milliseconds> wait) {
  eof_wait_override_ms = wait ? wait->count() : -1;
}

void runTaskwrightInstall(const std::weak_ptr<CommandRegistry>& registry,
                          const Completion& finish) {
  auto fail = [&](const std::string& message) { finish(CommandResult::failure(message)); };

  std::error_code ignored;
  stdfs::remove(taskwright::in_progress_marker(), ignored);

  if (auto err = clean_stale_install(registry)) {
    fail(*err);
    return;
  }

  auto installer = taskwright::locateInstaller();
  if (!installer) {
    fail("install-taskwright.sh not found (looked in resources and ancestor dirs)");
    return;
  }

  emitTaskwrightStatus(registry, "installing", "Downloading runtime and running installer\u2026");

  proc::Options options;
  options.argv = {"/bin/bash", *installer};
  options.env = proc::current_environment();
  (*options.env)["PATH"] = launch::enrichedPath();
  (*options.env)["HOME"] = paths::home_dir();
  options.in = proc::Stdio::inherit();
  options.out = proc::Stdio::pipe();
  options.err = proc::Stdio::pipe();

  TaskwrightEOFLatch latch;
  TaskwrightLineStream out_stream(
      [registry](const std::string& line) { emitTaskwrightProgress(registry, line); });
  TaskwrightLineStream err_stream([registry](const std::string& line) {
    emitTaskwrightProgress(registry, "[stderr] " + line);
  });

  // Tells the pipe readers to stop once the wait for end of file is over.
  const int stop_fd = ::eventfd(0, EFD_CLOEXEC);
  if (stop_fd < 0) {
    fail("Failed to spawn installer: " + std::string(std::strerror(errno)));
    return;
  }
  auto started = proc::Process::start(options);
  if (!started) {
    ::close(stop_fd);
    fail("Failed to spawn installer: " + started.error());
    return;
  }
  auto child = *started;

  proc::ExitStatus status;
  {
    PipeReader out_reader(child->stdout_fd(), stop_fd, out_stream, latch);
    PipeReader err_reader(child->stderr_fd(), stop_fd, err_stream, latch);

    status = child->wait();
    // A grandchild may keep the pipes open; its output is not waited for past the deadline.
    latch.wait_until(Clock::now() + eof_wait());

    uint64_t one = 1;
    (void)::write(stop_fd, &one, sizeof one);
    out_reader.join();
    err_reader.join();
  }
  ::close(stop_fd);
  out_stream.flush();
  err_stream.flush();

  if (status.success()) {
    emitTaskwrightStatus(registry, "ready", "Install complete. Taskwright is ready to run.");
    finish(CommandResult::success("installed"));
    return;
  }
  const std::string message = "Installer exited with status " + status.describe();
  emitTaskwrightStatus(registry, "error", message);
  fail(message);
}

CommandResult run_taskwright_uninstall(const std::weak_ptr<CommandRegistry>& registry) {
  const std::string home = taskwright::home();
  if (exists(home)) {
    if (auto err = remove_tree(home)) {
      return CommandResult::failure("Failed to remove \"" + home + "\": " + *err);
    }
  }
  emitTaskwrightStatus(registry, "not-installed", "Taskwright uninstalled.");
  return CommandResult::success("uninstalled");
}

CommandResult run_taskwright_reset(const std::weak_ptr<CommandRegistry>& registry) {
  std::error_code ignored;
  stdfs::remove(taskwright::in_progress_marker(), ignored);
  const std::string home = taskwright::home();
  if (!exists(home)) {
    emitTaskwrightStatus(registry, "not-installed", "Nothing to reset.");
    return CommandResult::success("nothing-to-reset");
  }
  const bool ours = exists(home + "/.install-incomplete") || exists(home + "/.installed-version") ||
                    exists(home + "/bin/radaro") || exists(home + "/venv");
  if (!ours) {
    return CommandResult::failure(
        home +
        " exists but doesn't look like a Vessa Taskwright install. Move it aside or set "
        "VESSA_TASKWRIGHT_HOME elsewhere, then retry.");
  }
  if (auto err = remove_tree(home)) {
    return CommandResult::failure("Failed to remove " + home + ": " + *err);
  }
  emitTaskwrightStatus(registry, "not-installed", "Taskwright reset.");
  return CommandResult::success("reset");
}

json taskwright_status() {
  const bool installed = taskwright::isInstalled();
  json version = nullptr;
  json binary_path = nullptr;
  if (installed) {
    if (auto tag = taskwright::readInstalledTag()) version = *tag;
    binary_path = taskwright::binary();
  }
  return json{{"installed", installed},
              {"version", version},
              {"install_path", taskwright::home()},
              {"binary_path", binary_path},
              {"supported_os", true},
              {"install_incomplete", taskwright::isInstallIncomplete()}};
}

}  // namespace vessa::commands::taskwright
