// The one child-process wrapper (posix_spawn, CLOEXEC pipes, pidfd waits).
#include "support/subprocess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace vessa::proc {
namespace {

using Clock = std::chrono::steady_clock;

std::string errno_text(int err) {
  char buf[256];
  return strerror_r(err, buf, sizeof buf);
}

ExitStatus status_from_wait(int raw) {
  ExitStatus s;
  if (WIFEXITED(raw)) {
    s.exited = true;
    s.code = WEXITSTATUS(raw);
  } else if (WIFSIGNALED(raw)) {
    s.signal = WTERMSIG(raw);
  }
  return s;
}

int pidfd_open(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Owns the descriptors a spawn attempt opens until they are handed over.
struct Pipes {
  std::array<int, 2> in{-1, -1};
  std::array<int, 2> out{-1, -1};
  std::array<int, 2> err{-1, -1};
  ~Pipes() {
    for (auto* p : {&in, &out, &err}) {
      close_fd((*p)[0]);
      close_fd((*p)[1]);
    }
  }
};

int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  if (left.count() <= 0) return 0;
  return static_cast<int>(std::min<long long>(left.count(), 1000 * 60 * 60));
}

}  // namespace

Environment current_environment() {
  Environment env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string_view kv(*e);
    auto eq = kv.find('=');
    if (eq == std::string_view::npos) continue;
    env.emplace(std::string(kv.substr(0, eq)), std::string(kv.substr(eq + 1)));
  }
  return env;
}

std::string ExitStatus::describe() const {
  return exited ? "Some(" + std::to_string(code) + ")" : "None";
}

std::optional<std::string> find_in_path(std::string_view name, std::string_view path_value) {
  if (name.empty()) return std::nullopt;
  if (name.find('/') != std::string_view::npos) return std::string(name);
  size_t start = 0;
  while (start <= path_value.size()) {
    size_t end = path_value.find(':', start);
    if (end == std::string_view::npos) end = path_value.size();
    std::string dir(path_value.substr(start, end - start));
    if (!dir.empty()) {
      std::string candidate = dir + "/" + std::string(name);
      if (::access(candidate.c_str(), X_OK) == 0) {
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return candidate;
      }
    }
    start = end + 1;
  }
  return std::nullopt;
}

tl::expected<std::shared_ptr<Process>, std::string> Process::start(const Options& options) {
  if (options.argv.empty()) return tl::unexpected(errno_text(EINVAL));
  // A child that closes a pipe early must not kill the shell with SIGPIPE.
  static std::once_flag ignore_sigpipe;
  std::call_once(ignore_sigpipe, [] { ::signal(SIGPIPE, SIG_IGN); });

  // Resolve the program against the child's PATH, not ours.
  std::string program = options.argv.front();
  if (program.find('/') == std::string::npos) {
    std::string path_value;
    if (options.env) {
      auto it = options.env->find("PATH");
      if (it != options.env->end()) path_value = it->second;
    } else if (const char* p = std::getenv("PATH")) {
      path_value = p;
    }
    auto found = find_in_path(program, path_value);
    if (!found) return tl::unexpected(errno_text(ENOENT));
    program = *found;
  }

  Pipes pipes;
  auto make_pipe = [](std::array<int, 2>& p) { return ::pipe2(p.data(), O_CLOEXEC) == 0; };
  if ((options.in.kind == Stdio::Kind::kPipe && !make_pipe(pipes.in)) ||
      (options.out.kind == Stdio::Kind::kPipe && !make_pipe(pipes.out)) ||
      (options.err.kind == Stdio::Kind::kPipe && !make_pipe(pipes.err))) {
    return tl::unexpected(errno_text(errno));
  }

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  auto add_stream = [&](const Stdio& s, int target, int child_end, bool input) {
    switch (s.kind) {
      case Stdio::Kind::kInherit:
        break;
      case Stdio::Kind::kNull:
        posix_spawn_file_actions_addopen(&fa, target, "/dev/null", input ? O_RDONLY : O_WRONLY, 0);
        break;
      case Stdio::Kind::kPipe:
        posix_spawn_file_actions_adddup2(&fa, child_end, target);
        break;
      case Stdio::Kind::kAppendFile:
        posix_spawn_file_actions_addopen(&fa, target, s.path.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0644);
        break;
    }
  };
  add_stream(options.in, 0, pipes.in[0], true);
  add_stream(options.out, 1, pipes.out[1], false);
  add_stream(options.err, 2, pipes.err[1], false);
  // No descriptor of ours leaks into the child, whoever opened it without CLOEXEC.
  posix_spawn_file_actions_addclosefrom_np(&fa, 3);
  if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, options.cwd.c_str());

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t empty_mask;
  sigemptyset(&empty_mask);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGCHLD);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (options.new_process_group) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&attr, 0);
  }
  posix_spawnattr_setflags(&attr, flags);
  posix_spawnattr_setsigmask(&attr, &empty_mask);
  posix_spawnattr_setsigdefault(&attr, &defaults);

  std::vector<std::string> env_storage;
  std::vector<char*> envp;
  if (options.env) {
    env_storage.reserve(options.env->size());
    for (const auto& [k, v] : *options.env) env_storage.push_back(k + "=" + v);
    for (auto& s : env_storage) envp.push_back(s.data());
    envp.push_back(nullptr);
  }
  std::vector<std::string> argv_storage = options.argv;
  std::vector<char*> argv;
  for (auto& a : argv_storage) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, program.c_str(), &fa, &attr, argv.data(),
                         options.env ? envp.data() : environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return tl::unexpected(errno_text(rc));

  std::shared_ptr<Process> p(new Process());
  p->pid_ = pid;
  p->pidfd_ = pidfd_open(pid);
  p->group_leader_ = options.new_process_group;
  p->stdin_fd_ = std::exchange(pipes.in[1], -1);
  p->stdout_fd_ = std::exchange(pipes.out[0], -1);
  p->stderr_fd_ = std::exchange(pipes.err[0], -1);
  return p;
}

Process::~Process() {
  close_fd(stdin_fd_);
  close_fd(stdout_fd_);
  close_fd(stderr_fd_);
  close_fd(pidfd_);
  if (!status_ && pid_ > 0) {
    pid_t pid = pid_;
    if (::waitpid(pid, nullptr, WNOHANG) == 0) {
      std::thread([pid] {
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
      }).detach();
    }
  }
}

void Process::close_stdin() {
  std::lock_guard lock(mutex_);
  close_fd(stdin_fd_);
}

std::optional<ExitStatus> Process::reap_locked(bool block) {
  if (status_) return status_;
  int raw = 0;
  for (;;) {
    pid_t r = ::waitpid(pid_, &raw, block ? 0 : WNOHANG);
    if (r == pid_) {
      status_ = status_from_wait(raw);
      return status_;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      // Reaped elsewhere (should not happen): report a signal end rather than hang.
      status_ = ExitStatus{};
      return status_;
    }
    return std::nullopt;
  }
}

std::optional<ExitStatus> Process::try_wait() {
  std::lock_guard lock(mutex_);
  return reap_locked(false);
}

std::optional<ExitStatus> Process::wait_for(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (auto s = try_wait()) return s;
    int left = remaining_ms(deadline);
    if (left <= 0) return std::nullopt;
    if (pidfd_ >= 0) {
      pollfd pfd{pidfd_, POLLIN, 0};
      ::poll(&pfd, 1, left);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(left, 10)));
    }
  }
}

ExitStatus Process::wait() {
  for (;;) {
    if (auto s = wait_for(std::chrono::hours(1))) return *s;
  }
}

bool Process::send_signal(int sig) {
  std::lock_guard lock(mutex_);
  if (reap_locked(false)) return false;
  if (group_leader_) return ::kill(-pid_, sig) == 0;
  return ::kill(pid_, sig) == 0;
}

ExitStatus Process::terminate(std::chrono::milliseconds grace) {
  send_signal(SIGTERM);
  if (auto s = wait_for(grace)) return *s;
  send_signal(SIGKILL);
  return wait();
}

Output communicate(Process& process, const RunOptions& ro) {
  Output result;
  std::thread writer;
  if (ro.input && process.stdin_fd() >= 0) {
    int fd = ::dup(process.stdin_fd());
    process.close_stdin();
    writer = std::thread([fd, data = *ro.input] {
      const char* p = data.data();
      size_t left = data.size();
      while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        left -= static_cast<size_t>(n);
      }
      ::close(fd);
    });
  }

  const auto start = Clock::now();
  std::optional<Clock::time_point> deadline;
  if (ro.timeout) deadline = start + *ro.timeout;
  std::optional<Clock::time_point> eof_deadline;

  int out_fd = process.stdout_fd();
  int err_fd = process.stderr_fd();
  bool out_open = out_fd >= 0;
  bool err_open = err_fd >= 0;
  bool exited = false;
  std::array<char, 65536> buf{};

  auto deliver = [&](bool is_out, const char* data, size_t n) {
    const auto& cb = is_out ? ro.on_stdout : ro.on_stderr;
    if (cb) {
      cb(std::string_view(data, n));
      return;
    }
    std::string& dst = is_out ? result.out : result.err;
    bool& truncated = is_out ? result.out_truncated : result.err_truncated;
    size_t room = ro.max_capture > dst.size() ? ro.max_capture - dst.size() : 0;
    if (n > room) truncated = true;
    dst.append(data, std::min(n, room));
  };

  while (out_open || err_open) {
    std::array<pollfd, 3> fds{};
    nfds_t count = 0;
    int out_idx = -1;
    int err_idx = -1;
    int exit_idx = -1;
    if (out_open) {
      out_idx = static_cast<int>(count);
      fds[count++] = {out_fd, POLLIN, 0};
    }
    if (err_open) {
      err_idx = static_cast<int>(count);
      fds[count++] = {err_fd, POLLIN, 0};
    }
    if (!exited && process.exit_fd() >= 0) {
      exit_idx = static_cast<int>(count);
      fds[count++] = {process.exit_fd(), POLLIN, 0};
    }
    int wait_ms = 100;  // also re-checks exit when there is no pidfd
    auto now = Clock::now();
    if (deadline && now >= *deadline) {
      result.timed_out = true;
      break;
    }
    if (eof_deadline && now >= *eof_deadline) break;
    if (deadline) wait_ms = std::min(wait_ms, remaining_ms(*deadline));
    if (eof_deadline) wait_ms = std::min(wait_ms, remaining_ms(*eof_deadline));
    int r = ::poll(fds.data(), count, wait_ms);
    if (r < 0 && errno != EINTR) break;
    for (int idx : {out_idx, err_idx}) {
      if (idx < 0 || (fds[idx].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      bool is_out = idx == out_idx;
      ssize_t n = ::read(fds[idx].fd, buf.data(), buf.size());
      if (n > 0) {
        deliver(is_out, buf.data(), static_cast<size_t>(n));
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        (is_out ? out_open : err_open) = false;
      }
    }
    bool exit_ready = exit_idx >= 0 && (fds[exit_idx].revents & POLLIN) != 0;
    if (!exited && (exit_ready || process.exit_fd() < 0) && !process.running()) {
      exited = true;
      if (ro.eof_wait_after_exit) eof_deadline = Clock::now() + *ro.eof_wait_after_exit;
    }
  }

  if (result.timed_out) {
    result.status = process.terminate(ro.kill_grace);
  } else if (auto s = deadline ? process.wait_for(std::chrono::milliseconds(
                                     std::max(remaining_ms(*deadline), 0)))
                               : std::optional<ExitStatus>(process.wait())) {
    result.status = *s;
  } else {
    result.timed_out = true;
    result.status = process.terminate(ro.kill_grace);
  }
  if (writer.joinable()) writer.join();
  return result;
}

tl::expected<Output, std::string> run(const Options& options, const RunOptions& run_options) {
  auto started = Process::start(options);
  if (!started) return tl::unexpected(started.error());
  return communicate(**started, run_options);
}

}  // namespace vessa::proc
