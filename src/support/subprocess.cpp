// The one child-process wrapper (posix_spawn, CLOEXEC pipes, pidfd waits).
#include "support/subprocess.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <thread>

#include "support/fs.hpp"
#include "support/lines.hpp"

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
  Pipes() = default;
  Pipes(const Pipes&) = delete;
  Pipes& operator=(const Pipes&) = delete;
  ~Pipes() {
    for (auto* p : {&in, &out, &err}) {
      close_fd((*p)[0]);
      close_fd((*p)[1]);
    }
  }
};

// After SIGKILL the kernel ends a process promptly; this only bounds a pathological wait
// (a process stuck in the kernel).
constexpr auto kKillWait = std::chrono::milliseconds(2000);
constexpr auto kGroupPoll = std::chrono::milliseconds(20);

int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  if (left.count() <= 0) return 0;
  return static_cast<int>(std::min<long long>(left.count(), 1000LL * 60 * 60));
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

namespace {

bool has_nul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// A NUL would cut an argument or variable short: the child would see another value than the
// caller checked. Refused rather than truncated.
bool sound_options(const Options& o) {
  for (const auto& a : o.argv) {
    if (has_nul(a)) return false;
  }
  if (o.env) {
    for (const auto& [k, v] : *o.env) {
      if (k.empty() || has_nul(k) || k.find('=') != std::string::npos || has_nul(v)) return false;
    }
  }
  return !has_nul(o.cwd) && !has_nul(o.in.path) && !has_nul(o.out.path) && !has_nul(o.err.path);
}

// Every child is forked by this one thread, which never ends: the parent-death signal fires
// when the forking *thread* exits, and pool threads come and go.
class Spawner {
 public:
  static Spawner& instance() {
    static auto* spawner = new Spawner();  // never destroyed: its thread outlives main()
    return *spawner;
  }

  pid_t fork_with(const std::function<void()>& in_child) {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [&] { return job_ == nullptr; });
    job_ = &in_child;
    done_ = false;
    work_.notify_one();
    finished_.wait(lock, [&] { return done_; });
    pid_t pid = result_;
    job_ = nullptr;
    idle_.notify_one();
    return pid;
  }

 private:
  Spawner() {
    std::thread([this] { loop(); }).detach();
  }

  void loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
      work_.wait(lock, [&] { return job_ != nullptr && !done_; });
      pid_t pid = ::fork();
      if (pid == 0) {
        (*job_)();  // never returns
        ::_exit(127);
      }
      result_ = pid < 0 ? -errno : pid;
      done_ = true;
      finished_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable work_, finished_, idle_;
  const std::function<void()>* job_ = nullptr;
  bool done_ = false;
  pid_t result_ = -1;
};

// In the forked child: only async-signal-safe calls from here to exec.
[[noreturn]] void fail_in_child(int error_fd, int err) {
  ssize_t ignored = ::write(error_fd, &err, sizeof err);
  (void)ignored;
  ::_exit(127);
}

void close_from(int first, int skip, int max_fd) {
#ifdef SYS_close_range
  if (skip >= first) {
    if (skip > first) ::syscall(SYS_close_range, first, skip - 1, 0);
    if (::syscall(SYS_close_range, skip + 1, ~0U, 0) == 0) return;
  } else if (::syscall(SYS_close_range, first, ~0U, 0) == 0) {
    return;
  }
#endif
  for (int fd = first; fd < max_fd; ++fd) {
    if (fd != skip) ::close(fd);
  }
}

}  // namespace

std::optional<ProcStat> read_proc_stat(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  auto text = fs::read_file("/proc/" + std::to_string(pid) + "/stat");
  if (!text) return std::nullopt;
  // The name in parentheses may hold spaces and ")": the fields start after the last ")".
  size_t close = text->rfind(')');
  if (close == std::string::npos) return std::nullopt;
  // fields[0] is field 3 (state)
  const auto fields = split_fields(std::string_view(*text).substr(close + 1), 20);
  if (fields.size() < 20 || fields[0].empty()) return std::nullopt;
  auto number = [](std::string_view f) {
    return std::strtoull(std::string(f).c_str(), nullptr, 10);
  };
  ProcStat st;
  st.state = fields[0].front();
  st.ppid = static_cast<pid_t>(number(fields[1]));
  st.pgrp = static_cast<pid_t>(number(fields[2]));
  st.start_time = number(fields[19]);  // field 22
  return st;
}

std::vector<pid_t> group_members(pid_t pgid) {
  std::vector<pid_t> members;
  if (pgid <= 0) return members;
  // Cheap first answer: no process at all has this group.
  if (::kill(-pgid, 0) != 0 && errno == ESRCH) return members;
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr) return members;
  while (dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    auto st = read_proc_stat(static_cast<pid_t>(pid));
    if (st && st->pgrp == pgid && st->state != 'Z' && st->state != 'X') {
      members.push_back(static_cast<pid_t>(pid));
    }
  }
  ::closedir(dir);
  return members;
}

bool group_alive(pid_t pgid) { return !group_members(pgid).empty(); }

bool stop_group(pid_t pgid, std::chrono::milliseconds grace, std::chrono::milliseconds kill_wait,
                const std::function<void()>& reap, const std::function<void()>& before_kill) {
  if (pgid <= 1) return true;  // never the whole session or every process
  auto gone_within = [&](std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
      if (reap) reap();
      if (!group_alive(pgid)) return true;
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(kGroupPoll);
    }
  };
  if (reap) reap();
  if (!group_alive(pgid)) return true;
  if (grace.count() > 0) {
    ::kill(-pgid, SIGTERM);
    if (gone_within(grace)) return true;
    if (before_kill) before_kill();
  }
  ::kill(-pgid, SIGKILL);
  return gone_within(kill_wait);
}

tl::expected<std::shared_ptr<Process>, std::string> Process::start(const Options& options) {
  if (options.argv.empty() || !sound_options(options)) return tl::unexpected(errno_text(EINVAL));
  static std::once_flag once;
  std::call_once(once, [] {
    // A child that closes a pipe early must not kill the shell with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    // With 0, 1 and 2 always open, no pipe we make can land on a standard stream number.
    for (int fd = 0; fd < 3; ++fd) {
      if (::fcntl(fd, F_GETFD) < 0) ::open("/dev/null", O_RDWR);
    }
  });

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
  std::array<int, 2> error_pipe{-1, -1};
  auto make_pipe = [](std::array<int, 2>& p) { return ::pipe2(p.data(), O_CLOEXEC) == 0; };
  if ((options.in.kind == Stdio::Kind::kPipe && !make_pipe(pipes.in)) ||
      (options.out.kind == Stdio::Kind::kPipe && !make_pipe(pipes.out)) ||
      (options.err.kind == Stdio::Kind::kPipe && !make_pipe(pipes.err)) || !make_pipe(error_pipe)) {
    int err = errno;
    close_fd(error_pipe[0]);
    close_fd(error_pipe[1]);
    return tl::unexpected(errno_text(err));
  }

  // Everything the child needs is built here: after fork it may not allocate.
  std::vector<std::string> env_storage;
  std::vector<char*> envp;
  if (options.env) {
    env_storage.reserve(options.env->size());
    for (const auto& [k, v] : *options.env) {
      std::string entry = k + "=";
      entry += v;
      env_storage.push_back(std::move(entry));
    }
    for (auto& s : env_storage) envp.push_back(s.data());
    envp.push_back(nullptr);
  }
  std::vector<std::string> argv_storage = options.argv;
  std::vector<char*> argv;
  argv.reserve(argv_storage.size() + 1);
  for (auto& a : argv_storage) argv.push_back(a.data());
  argv.push_back(nullptr);
  char* const* child_env = options.env ? envp.data() : environ;
  const pid_t parent = ::getpid();
  const int max_fd = static_cast<int>(std::min<long>(::sysconf(_SC_OPEN_MAX), 65536));

  const std::function<void()> in_child = [&] {
    const int report = error_pipe[1];
    if (options.new_process_group && ::setpgid(0, 0) != 0) fail_in_child(report, errno);
    if (options.die_with_parent) {
      if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) fail_in_child(report, errno);
      // The parent may have died before the line above took effect.
      if (::getppid() != parent) ::_exit(127);
    }
    auto setup = [&](const Stdio& s, int target, int child_end, bool input) {
      int fd = -1;
      switch (s.kind) {
        case Stdio::Kind::kInherit:
          return;
        case Stdio::Kind::kPipe:
          fd = child_end;
          break;
        case Stdio::Kind::kNull:
          fd = ::open("/dev/null", input ? O_RDONLY : O_WRONLY);
          break;
        case Stdio::Kind::kAppendFile:
          fd = ::open(s.path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
          break;
      }
      if (fd < 0 || ::dup2(fd, target) < 0) fail_in_child(report, errno);
    };
    setup(options.in, 0, pipes.in[0], true);
    setup(options.out, 1, pipes.out[1], false);
    setup(options.err, 2, pipes.err[1], false);
    // No descriptor of ours leaks into the child, whoever opened it without CLOEXEC.
    close_from(3, report, max_fd);
    if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) fail_in_child(report, errno);
    // Dispositions we ignore (SIGPIPE) and our signal mask are not the child's.
    for (int sig = 1; sig < NSIG; ++sig) {
      if (sig != SIGKILL && sig != SIGSTOP) ::signal(sig, SIG_DFL);
    }
    sigset_t empty_mask;
    sigemptyset(&empty_mask);
    ::sigprocmask(SIG_SETMASK, &empty_mask, nullptr);
    ::execve(program.c_str(), argv.data(), child_env);
    fail_in_child(report, errno);
  };

  pid_t pid = Spawner::instance().fork_with(in_child);
  close_fd(error_pipe[1]);
  if (pid < 0) {
    close_fd(error_pipe[0]);
    return tl::unexpected(errno_text(-pid));
  }
  // The error pipe closes on exec; a number in it is why the child could not get there.
  int child_errno = 0;
  ssize_t n = 0;
  do {
    n = ::read(error_pipe[0], &child_errno, sizeof child_errno);
  } while (n < 0 && errno == EINTR);
  close_fd(error_pipe[0]);
  if (n == sizeof child_errno) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return tl::unexpected(errno_text(child_errno));
  }

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
  std::scoped_lock lock(mutex_);
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
  std::scoped_lock lock(mutex_);
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
  std::scoped_lock lock(mutex_);
  if (group_leader_) {
    // Our zombie leader is reaped first so that it alone does not count as the group.
    reap_locked(false);
    return group_alive(pid_) && ::kill(-pid_, sig) == 0;
  }
  if (reap_locked(false)) return false;
  return ::kill(pid_, sig) == 0;
}

bool Process::tree_running() {
  std::scoped_lock lock(mutex_);
  bool exited = reap_locked(false).has_value();
  if (!group_leader_) return !exited;
  // While a member lives, the group id cannot be handed to another process.
  return group_alive(pid_);
}

bool Process::stop(std::chrono::milliseconds grace, std::chrono::milliseconds kill_wait,
                   const std::function<void()>& before_kill) {
  if (!group_leader_) {
    if (grace.count() > 0) {
      if (!send_signal(SIGTERM) || wait_for(grace)) return true;
      if (before_kill) before_kill();
    }
    send_signal(SIGKILL);
    return wait_for(kill_wait).has_value();
  }
  return stop_group(
      pid_, grace, kill_wait, [this] { try_wait(); }, before_kill);
}

ExitStatus Process::terminate(std::chrono::milliseconds grace) {
  stop(grace, kKillWait);
  return wait();
}

Output communicate(Process& process, const RunOptions& run_options) {
  Output result;
  std::thread writer;
  if (run_options.input && process.stdin_fd() >= 0) {
    int fd = ::dup(process.stdin_fd());
    process.close_stdin();
    writer = std::thread([fd, data = *run_options.input] {
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
  if (run_options.timeout) deadline = start + *run_options.timeout;
  std::optional<Clock::time_point> eof_deadline;

  int out_fd = process.stdout_fd();
  int err_fd = process.stderr_fd();
  bool out_open = out_fd >= 0;
  bool err_open = err_fd >= 0;
  bool exited = false;
  std::array<char, 65536> buf{};

  auto deliver = [&](bool is_out, const char* data, size_t n) {
    const auto& cb = is_out ? run_options.on_stdout : run_options.on_stderr;
    if (cb) {
      cb(std::string_view(data, n));
      return;
    }
    std::string& dst = is_out ? result.out : result.err;
    bool& truncated = is_out ? result.out_truncated : result.err_truncated;
    size_t room = run_options.max_capture > dst.size() ? run_options.max_capture - dst.size() : 0;
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
      if (run_options.eof_wait_after_exit)
        eof_deadline = Clock::now() + *run_options.eof_wait_after_exit;
    }
  }

  if (result.timed_out) {
    result.status = process.terminate(run_options.kill_grace);
  } else if (auto s = deadline ? process.wait_for(std::chrono::milliseconds(
                                     std::max(remaining_ms(*deadline), 0)))
                               : std::optional<ExitStatus>(process.wait())) {
    result.status = *s;
  } else {
    result.timed_out = true;
    result.status = process.terminate(run_options.kill_grace);
  }
  // The child is done but something it started still holds its pipes past the wait: that
  // stray is part of the run and stops with it.
  if (!result.timed_out && (out_open || err_open)) process.stop(run_options.kill_grace, kKillWait);
  if (writer.joinable()) writer.join();
  return result;
}

tl::expected<Output, std::string> run(const Options& options, const RunOptions& run_options) {
  auto started = Process::start(options);
  if (!started) return tl::unexpected(started.error());
  return communicate(**started, run_options);
}

}  // namespace vessa::proc
