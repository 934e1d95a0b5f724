// A local HTTP server answering fixed bodies, standing in for the release host.
#pragma once

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace vessa::testing {

class ManifestServer {
 public:
  /// Serves `body` with `status` at `path`.
  ManifestServer& serve(const std::string& path, std::string body, int status = 200) {
    server_.Get(path,
                [body = std::move(body), status](const httplib::Request&, httplib::Response& res) {
                  res.status = status;
                  res.set_content(body, "application/json");
                });
    return *this;
  }
  void start() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ~ManifestServer() {
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
};

/// A loopback URL nothing listens on (the port is bound, then released).
inline std::string closed_port_url() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = 1;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  if (fd >= 0) ::close(fd);
  return "http://127.0.0.1:" + std::to_string(port) + "/latest.json";
}

/// The release host part of `closed_port_url()`.
inline std::string closed_port_host() {
  std::string url = closed_port_url();
  return url.substr(0, url.size() - std::string("/latest.json").size());
}

}  // namespace vessa::testing
