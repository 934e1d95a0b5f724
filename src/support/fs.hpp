// File helpers: whole-file reads, atomic replacement and cross-process write locks.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

namespace vessa::fs {

/// Whole file contents, or nullopt when it cannot be read. Only regular files are read: a FIFO,
/// socket or device (also behind a link) is refused without blocking.
std::optional<std::string> read_file(const std::string& path);

/// Why `read_regular_file` gave no contents.
enum class ReadFailure { kAbsent, kNotRegular, kTooLarge, kUnreadable };

struct ReadError {
  ReadFailure kind = ReadFailure::kUnreadable;
  /// For people: "No such file or directory", "not a regular file", "larger than N bytes"...
  std::string reason;
};

/// Reads a regular file of at most `max_bytes` whole. Opens without blocking and checks the
/// opened descriptor, so FIFOs, sockets and devices are refused even when reached by a link.
tl::expected<std::string, ReadError> read_regular_file(
    const std::string& path, std::uintmax_t max_bytes = std::numeric_limits<std::uintmax_t>::max());

/// Replaces `path` with `data` atomically: a temporary file in the same folder, synced, renamed
/// over the target, then the folder synced so the rename survives a power loss. A new file gets
/// `mode` (0600 by default: most of what we write is settings or secrets); an existing file keeps
/// its mode. Temporary files left by writers of `path` that died are removed first. On failure
/// the target is untouched, no temporary file stays, and the error names the step and the
/// system's reason ("write: No space left on device").
tl::expected<void, std::string> atomic_write(const std::string& path, std::string_view data,
                                             mode_t mode = 0600);

/// Creates `dir` and its parents; folders created here get `mode`. True when it exists after.
bool create_directories(const std::string& dir, mode_t mode = 0755);

/// An owned file descriptor, closed when dropped.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();
  int get() const { return fd_; }
  int release();
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

/// An exclusive advisory lock (flock) on the hidden file ".<name>.lock" beside a target file,
/// held until dropped. Every process and thread that read-modify-writes the target takes it, so
/// none loses another's change. Any thread; not reentrant (a second acquire for the same target
/// while one is held waits for itself and times out).
class FileLock {
 public:
  /// Waits up to `wait` for the lock; the error says why it could not be had. The target's
  /// folder must exist.
  static tl::expected<FileLock, std::string> acquire(
      const std::string& target, std::chrono::milliseconds wait = std::chrono::seconds(10));

 private:
  explicit FileLock(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

/// An anonymous in-memory file holding `data` and a terminating NUL byte, sealed against any
/// change, for handing bytes to another process; empty on failure.
UniqueFd sealed_memory_file(std::string_view name, std::string_view data);

}  // namespace vessa::fs
