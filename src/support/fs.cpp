// File helpers: whole-file reads and atomic replacement.
#include "support/fs.hpp"

#include <fcntl.h>
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

}  // namespace vessa::fs
