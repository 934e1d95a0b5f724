// File helpers: whole-file reads and atomic replacement.
#include "support/fs.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <vector>

namespace vessa::fs {

std::optional<std::string> read_file(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string out;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    out.reserve(static_cast<size_t>(st.st_size));
  } else if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  std::vector<char> buf(1 << 16);
  for (;;) {
    ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    out.append(buf.data(), static_cast<size_t>(n));
  }
  ::close(fd);
  return out;
}

bool create_directories(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return std::filesystem::is_directory(dir, ec);
}

bool atomic_write(const std::string& path, std::string_view data, mode_t mode) {
  std::filesystem::path target(path);
  std::string dir = target.parent_path().string();
  if (dir.empty()) dir = ".";
  std::string tmpl = dir + "/." + target.filename().string() + ".tmp-XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return false;
  auto fail = [&] {
    ::close(fd);
    ::unlink(name.data());
    return false;
  };
  struct stat st {};
  mode_t final_mode = (::stat(path.c_str(), &st) == 0) ? (st.st_mode & 07777) : mode;
  if (::fchmod(fd, final_mode) != 0) return fail();
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail();
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) return fail();
  if (::close(fd) != 0) {
    ::unlink(name.data());
    return false;
  }
  if (::rename(name.data(), path.c_str()) != 0) {
    ::unlink(name.data());
    return false;
  }
  return true;
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
