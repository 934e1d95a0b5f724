// A small blocking HTTP client on libcurl. Call it off the main thread.
#pragma once

#include <chrono>
#include <string>
#include <tl/expected.hpp>
#include <utility>
#include <vector>

namespace vessa::http {

struct Request {
  std::string method = "GET";
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  /// Whole-transfer limit; zero for none (large downloads rely on `idle_limit` instead).
  std::chrono::milliseconds timeout{30000};
  /// When non-zero, the transfer fails once no byte has moved for this long (connecting
  /// included); checked about once a second.
  std::chrono::milliseconds idle_limit{0};
  /// When non-empty, the body is written to this file instead of memory.
  std::string output_file;
};

struct Response {
  long status = 0;
  std::string body;
};

/// Performs the request. Any HTTP status is a response; the error is the transport failure's
/// description (time-out, refused connection, bad URL, unwritable output file).
tl::expected<Response, std::string> perform(const Request& request);

/// Convenience wrappers.
tl::expected<Response, std::string> get(const std::string& url, std::chrono::milliseconds timeout);
tl::expected<Response, std::string> post(const std::string& url, std::string body,
                                         std::chrono::milliseconds timeout);

}  // namespace vessa::http
