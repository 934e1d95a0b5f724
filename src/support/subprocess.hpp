// The one child-process wrapper: argv (never a shell with page text), environment, working
// folder, standard streams, deadlines, and the one way to stop a process tree (its group).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

namespace vessa::proc {

using Environment = std::map<std::string, std::string>;

/// A copy of this process's environment.
Environment current_environment();

/// Where one standard stream of the child goes.
struct Stdio {
  enum class Kind { kInherit, kNull, kPipe, kAppendFile };
  Kind kind = Kind::kNull;
  std::string path;  // kAppendFile: created when missing (0644), opened for append

  static Stdio inherit() { return {Kind::kInherit, {}}; }
  static Stdio null() { return {Kind::kNull, {}}; }
  static Stdio pipe() { return {Kind::kPipe, {}}; }
  static Stdio append(std::string file) { return {Kind::kAppendFile, std::move(file)}; }
};

struct Options {
  /// argv[0] is the program: a path, or a bare name looked up in the child's PATH.
  std::vector<std::string> argv;
  /// The child's whole environment; nullopt inherits this process's environment unchanged.
  std::optional<Environment> env;
  /// Working folder; empty inherits ours.
  std::string cwd;
  Stdio in = Stdio::null();
  Stdio out = Stdio::pipe();
  Stdio err = Stdio::pipe();
  /// Start the child as the leader of a new process group, so its whole tree is stopped
  /// together. Only a child meant to outlive its starter (a relaunch) opts out.
  bool new_process_group = true;
  /// The child gets SIGKILL when this process dies, even by a crash. Off only for children
  /// that must outlive us (the relaunched app, the update installer, a terminal window).
  bool die_with_parent = true;
};

/// How a child ended.
struct ExitStatus {
  bool exited = false;  // normal exit; otherwise ended by `signal`
  int code = 0;
  int signal = 0;

  bool success() const { return exited && code == 0; }
  /// "Some(<code>)" for a normal exit, "None" for a signal.
  std::string describe() const;
};

/// Looks `name` up in the colon-separated `path_value`; returns the first executable match.
std::optional<std::string> find_in_path(std::string_view name, std::string_view path_value);

/// What /proc/<pid>/stat says about a process.
struct ProcStat {
  char state = '?';
  pid_t ppid = 0;
  pid_t pgrp = 0;
  unsigned long long start_time = 0;  // clock ticks after boot: tells a reused pid apart
};
std::optional<ProcStat> read_proc_stat(pid_t pid);

/// Members of process group `pgid` that are not zombies (a zombie is already dead, whoever
/// has yet to reap it).
std::vector<pid_t> group_members(pid_t pgid);
/// True while group `pgid` has a member that is not a zombie.
bool group_alive(pid_t pgid);

/// The one stop policy for a process tree: SIGTERM to group `pgid`, up to `grace` for every
/// member to be gone, then SIGKILL to the group and up to `kill_wait` more. A zero `grace`
/// kills at once. `reap` (may be empty) is called while waiting so that our own zombie leader
/// does not keep the group alive; `before_kill` (may be empty) runs when SIGKILL is needed after
/// a SIGTERM. True when the group is gone. Blocks.
bool stop_group(pid_t pgid, std::chrono::milliseconds grace, std::chrono::milliseconds kill_wait,
                const std::function<void()>& reap = {},
                const std::function<void()>& before_kill = {});

/// A started child. Shared between threads: every member is thread-safe. Dropping the last
/// reference to a child that is still running hands it to a background reaper (no zombies);
/// it does not stop it.
class Process {
 public:
  /// Starts the child. The error is the system's description of why it could not start.
  static tl::expected<std::shared_ptr<Process>, std::string> start(const Options& options);

  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }

  /// Pipe ends this object owns (-1 when the stream is not a pipe). Closed on destruction.
  int stdin_fd() const { return stdin_fd_; }
  int stdout_fd() const { return stdout_fd_; }
  int stderr_fd() const { return stderr_fd_; }
  /// Closes our end of the child's standard input pipe.
  void close_stdin();

  /// The exit status when the child has ended (reaping it), else nullopt. Never blocks.
  std::optional<ExitStatus> try_wait();
  /// Waits up to `timeout` for the child to end.
  std::optional<ExitStatus> wait_for(std::chrono::milliseconds timeout);
  /// Waits for the child to end.
  ExitStatus wait();
  bool running() { return !try_wait().has_value(); }

  /// Sends `sig` to the child, or to its whole group when it leads one. False when nothing is
  /// left to signal.
  bool send_signal(int sig);
  /// True while the child runs or, when it leads a group, while any member of its group does
  /// (an agent's npx may exit and leave its script running).
  bool tree_running();
  /// The stop policy (see stop_group) on the child's tree. True when all of it is gone.
  bool stop(std::chrono::milliseconds grace, std::chrono::milliseconds kill_wait,
            const std::function<void()>& before_kill = {});
  /// stop(grace, a bounded wait after SIGKILL), then the child's own exit status.
  ExitStatus terminate(std::chrono::milliseconds grace);

  /// A descriptor that becomes readable when the child ends (pidfd), or -1.
  int exit_fd() const { return pidfd_; }

 private:
  Process() = default;
  std::optional<ExitStatus> reap_locked(bool block);

  pid_t pid_ = -1;
  int pidfd_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  int stderr_fd_ = -1;
  bool group_leader_ = false;
  std::mutex mutex_;
  std::optional<ExitStatus> status_;
};

/// Captured output of `run`.
struct Output {
  std::string out;
  std::string err;
  ExitStatus status;
  bool timed_out = false;
  bool out_truncated = false;
  bool err_truncated = false;
};

struct RunOptions {
  /// Overall limit; when it passes the child's tree is stopped (SIGTERM, `kill_grace`, SIGKILL;
  /// a zero `kill_grace` kills at once).
  std::optional<std::chrono::milliseconds> timeout;
  std::chrono::milliseconds kill_grace{300};
  /// Bytes kept per stream; reading goes on (and is discarded) past it so the child never blocks.
  size_t max_capture = static_cast<size_t>(-1);
  /// When set, output chunks go here instead of being captured (called on the calling thread).
  std::function<void(std::string_view)> on_stdout;
  std::function<void(std::string_view)> on_stderr;
  /// After the child exits, how long to wait for its streams to close (a grandchild may hold
  /// them open); nullopt waits until they close or the timeout passes. Whatever of its group
  /// still holds them then is stopped.
  std::optional<std::chrono::milliseconds> eof_wait_after_exit;
  /// Data written to the child's standard input (Options::in must be a pipe), then closed.
  std::optional<std::string> input;
};

/// Starts the child and reads both pipes concurrently until it ends. The error is the start
/// error's description.
tl::expected<Output, std::string> run(const Options& options, const RunOptions& run_options = {});

/// Reads `process`'s pipes concurrently until they close (see RunOptions), then waits for it.
Output communicate(Process& process, const RunOptions& run_options = {});

}  // namespace vessa::proc
