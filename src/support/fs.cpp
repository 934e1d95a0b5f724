// File helpers: whole-file reads, atomic replacement and cross-process write locks.
#include "support/fs.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>
#include <utility>
#include <vector>

namespace vessa::fs {
namespace {

constexpr std::string_view kTempMarker = ".tmp-";
constexpr size_t kTempSuffixLength = 6;  // mkostemp's XXXXXX

std::string error_text(const char* step, int err) {
  return std::string(step) + ": " + std::strerror(err);
}

std::string folder_of(const std::string& path) {
  std::string dir = std::filesystem::path(path).parent_path().string();
  return dir.empty() ? "." : dir;
}

std::string name_of(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

bool write_all(int fd, std::string_view data) {
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

// ".<name>.tmp-XXXXXX", the only names our writer gives its temporary files.
bool is_our_temp(std::string_view entry, std::string_view name) {
  const size_t prefix = 1 + name.size() + kTempMarker.size();
  if (entry.size() != prefix + kTempSuffixLength || entry[0] != '.') return false;
  if (entry.substr(1, name.size()) != name) return false;
  if (entry.substr(1 + name.size(), kTempMarker.size()) != kTempMarker) return false;
  return std::ranges::all_of(entry.substr(prefix), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0;
  });
}

// A writer holds an exclusive flock on its temporary file for as long as it lives, so a temp
// file nobody holds belongs to a writer that died. Such files can be large (a whole config), so
// they are removed rather than left to pile up.
void remove_stale_temps(const std::string& dir, const std::string& name) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  std::vector<std::string> stale;
  while (const dirent* e = ::readdir(d)) {
    if (is_our_temp(e->d_name, name)) stale.emplace_back(e->d_name);
  }
  ::closedir(d);
  for (const auto& entry : stale) {
    std::string path = dir + "/";
    path += entry;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat held {};
    if (!fd || ::fstat(fd.get(), &held) != 0 || !S_ISREG(held.st_mode)) continue;
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) continue;  // a live writer's file
    // Unlink only the file we locked: the name may have moved on since we opened it.
    struct stat now {};
    if (::lstat(path.c_str(), &now) == 0 && now.st_dev == held.st_dev &&
        now.st_ino == held.st_ino) {
      ::unlink(path.c_str());
    }
  }
}

// Creates and locks our temporary file. A cleaner may catch a fresh file before we lock it and
// unlink it; we see that as a link count of 0 and take a new name.
tl::expected<std::pair<UniqueFd, std::string>, std::string> make_locked_temp(
    const std::string& dir, const std::string& name) {
  const std::string tmpl = dir + "/." + name + std::string(kTempMarker) + "XXXXXX";
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    UniqueFd fd(::mkostemp(buf.data(), O_CLOEXEC));
    if (!fd) return tl::unexpected(error_text("create temporary file", errno));
    struct stat st {};
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 && ::fstat(fd.get(), &st) == 0 &&
        st.st_nlink > 0) {
      return std::make_pair(std::move(fd), std::string(buf.data()));
    }
  }
  return tl::unexpected(std::string("create temporary file: kept being removed"));
}

}  // namespace

tl::expected<std::string, ReadError> read_regular_file(const std::string& path,
                                                       std::uintmax_t max_bytes) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer; fstat then turns it away.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    const int err = errno;
    return tl::unexpected(ReadError{
        err == ENOENT ? ReadFailure::kAbsent
                      : (err == ENXIO ? ReadFailure::kNotRegular : ReadFailure::kUnreadable),
        std::strerror(err)});
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    return tl::unexpected(ReadError{ReadFailure::kUnreadable, std::strerror(errno)});
  }
  if (!S_ISREG(st.st_mode)) {
    return tl::unexpected(ReadError{ReadFailure::kNotRegular, "not a regular file"});
  }
  const auto too_large = [max_bytes] {
    return tl::unexpected(
        ReadError{ReadFailure::kTooLarge, "larger than " + std::to_string(max_bytes) + " bytes"});
  };
  if (std::cmp_greater(st.st_size, max_bytes)) return too_large();
  std::string out;
  out.reserve(static_cast<size_t>(st.st_size));
  std::vector<char> buf(1 << 16);
  for (;;) {
    ssize_t n = ::read(fd.get(), buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return tl::unexpected(ReadError{ReadFailure::kUnreadable, std::strerror(errno)});
    if (n == 0) break;
    out.append(buf.data(), static_cast<size_t>(n));
    // The file may grow while we read it (files in /proc report no size at all).
    if (out.size() > max_bytes) return too_large();
  }
  return out;
}

std::optional<std::string> read_file(const std::string& path) {
  auto text = read_regular_file(path);
  if (!text) return std::nullopt;
  return std::move(*text);
}

bool create_directories(const std::string& dir, mode_t mode) {
  if (dir.empty()) return false;
  std::error_code ec;
  // mkdir each missing level ourselves: std::filesystem always asks for 0777.
  std::filesystem::path partial;
  for (const auto& part : std::filesystem::path(dir)) {
    partial /= part;
    if (part == "/" || part.empty()) continue;
    if (::mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) break;
  }
  return std::filesystem::is_directory(dir, ec);
}

tl::expected<void, std::string> atomic_write(const std::string& path, std::string_view data,
                                             mode_t mode) {
  const std::string dir = folder_of(path);
  const std::string name = name_of(path);
  remove_stale_temps(dir, name);
  auto temp = make_locked_temp(dir, name);
  if (!temp) return tl::unexpected(temp.error());
  // Not a structured binding: clang 14 cannot capture those in the lambda below.
  UniqueFd& fd = temp->first;
  const std::string& temp_path = temp->second;
  auto fail = [&](const char* step) {
    const int err = errno;
    ::unlink(temp_path.c_str());
    return tl::unexpected(error_text(step, err));
  };
  struct stat st {};
  const mode_t final_mode = (::stat(path.c_str(), &st) == 0) ? (st.st_mode & 07777) : mode;
  if (::fchmod(fd.get(), final_mode) != 0) return fail("chmod");
  if (!write_all(fd.get(), data)) return fail("write");
  if (::fsync(fd.get()) != 0) return fail("fsync");
  // Renamed while still locked, so no cleaner can take the file between here and the rename.
  if (::rename(temp_path.c_str(), path.c_str()) != 0) return fail("rename");
  fd = UniqueFd();
  UniqueFd folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // Some file systems cannot sync a folder (EINVAL); the file itself is in place either way.
  if (folder && ::fsync(folder.get()) != 0 && errno != EINVAL) {
    return tl::unexpected(error_text("fsync folder", errno));
  }
  return {};
}

tl::expected<FileLock, std::string> FileLock::acquire(const std::string& target,
                                                      std::chrono::milliseconds wait) {
  const std::string path = folder_of(target) + "/." + name_of(target) + ".lock";
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) return tl::unexpected(error_text(("lock " + path).c_str(), errno));
  // Polled rather than blocking, so a stuck holder costs a failure with a reason, never a hang.
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      return tl::unexpected(error_text(("lock " + path).c_str(), errno));
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return tl::unexpected("lock " + path + ": held by another writer for too long");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return FileLock(std::move(fd));
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

int UniqueFd::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

UniqueFd sealed_memory_file(std::string_view name, std::string_view data) {
  UniqueFd fd(::memfd_create(std::string(name).c_str(), MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!fd) return {};
  // One write of data and the NUL would need a copy; two writes do not.
  auto write_all = [&fd](const char* p, size_t n) {
    while (n > 0) {
      ssize_t w = ::write(fd.get(), p, n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      p += w;
      n -= static_cast<size_t>(w);
    }
    return true;
  };
  if (!write_all(data.data(), data.size()) || !write_all("", 1)) return {};
  if (::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) !=
      0) {
    return {};
  }
  return fd;
}

}  // namespace vessa::fs
