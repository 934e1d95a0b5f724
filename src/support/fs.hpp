// File helpers: whole-file reads and atomic replacement.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace vessa::fs {

/// Whole file contents, or nullopt when it cannot be read.
std::optional<std::string> read_file(const std::string& path);

/// Replaces `path` with `data` atomically: a temporary file in the same folder, flushed to disk,
/// then renamed over the target. The target is either the old file or the new one, never a mix.
/// A new file gets `mode`; an existing file keeps its mode. Returns false on any failure (the
/// temporary file is removed).
bool atomic_write(const std::string& path, std::string_view data, mode_t mode = 0644);

/// Creates `dir` and its parents; true when it exists afterwards.
bool create_directories(const std::string& dir);

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

/// An anonymous in-memory file holding `data` and a terminating NUL byte, sealed against any
/// change, for handing bytes to another process; empty on failure.
UniqueFd sealed_memory_file(std::string_view name, std::string_view data);

}  // namespace vessa::fs
