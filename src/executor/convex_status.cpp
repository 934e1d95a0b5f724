// Whether something accepts connections on a local TCP port (the Convex backend's 3210).
#include "executor/convex_status.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace vessa::executor::convex {
namespace {

// Closes the probe socket on every path.
class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

// Waits for `fd` to become writable until `deadline`; false on time-out or error.
bool wait_writable(int fd, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd pfd{fd, POLLOUT, 0};
    int r = ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return false;
  }
}

}  // namespace

bool convexPortInUse(uint16_t port, int32_t timeoutMs) {
  Socket sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (sock.fd() < 0) return false;
  int flags = ::fcntl(sock.fd(), F_GETFL, 0);
  if (flags < 0 || ::fcntl(sock.fd(), F_SETFL, flags | O_NONBLOCK) < 0) return false;

  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(sock.fd(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
    return true;
  }
  if (errno != EINPROGRESS) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  if (!wait_writable(sock.fd(), deadline)) return false;
  int error = 0;
  socklen_t len = sizeof error;
  return ::getsockopt(sock.fd(), SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
}

}  // namespace vessa::executor::convex
