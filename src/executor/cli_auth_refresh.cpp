// Telling a running executor that the coding CLIs' credentials changed.
#include "executor/cli_auth_refresh.hpp"

#include <chrono>
#include <mutex>

#include "support/dispatch.hpp"
#include "support/http.hpp"

namespace vessa::executor {
namespace {

constexpr const char* kRefreshUrl = "http://127.0.0.1:3212/refresh-cli-auth";

std::mutex& refresh_url_mutex() {
  static std::mutex m;
  return m;
}

std::string& refresh_url_override() {
  static std::string url;
  return url;
}

}  // namespace

namespace detail {

void set_refresh_url_for_testing(const std::string& url) {
  std::scoped_lock lock(refresh_url_mutex());
  refresh_url_override() = url;
}

}  // namespace detail

void refreshCliAuth() {
  std::string url;
  {
    std::scoped_lock lock(refresh_url_mutex());
    url = refresh_url_override().empty() ? kRefreshUrl : refresh_url_override();
  }
  dispatch::global_async(
      [url] { (void)http::post(url, std::string(), std::chrono::milliseconds(3000)); });
}

}  // namespace vessa::executor
