// A small blocking HTTP client on libcurl.
#include "support/http.hpp"

#include <curl/curl.h>

#include <cstdio>
#include <memory>
#include <mutex>

namespace vessa::http {
namespace {

void global_init() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t write_to_string(char* data, size_t size, size_t count, void* user) noexcept {
  auto* out = static_cast<std::string*>(user);
  try {
    out->append(data, size * count);
  } catch (...) {
    return 0;
  }
  return size * count;
}

size_t write_to_file(char* data, size_t size, size_t count, void* user) noexcept {
  return std::fwrite(data, size, count, static_cast<FILE*>(user)) * size;
}

struct IdleWatch {
  std::chrono::milliseconds limit;
  curl_off_t down;
  curl_off_t up;
  std::chrono::steady_clock::time_point last_change;
  bool stalled;
};

int idle_check(void* user, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) noexcept {
  auto* w = static_cast<IdleWatch*>(user);
  auto now = std::chrono::steady_clock::now();
  if (down != w->down || up != w->up) {
    w->down = down;
    w->up = up;
    w->last_change = now;
    return 0;
  }
  w->stalled = now - w->last_change >= w->limit;
  return w->stalled ? 1 : 0;
}

struct CurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

}  // namespace

tl::expected<Response, std::string> perform(const Request& request) {
  global_init();
  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) return tl::unexpected(std::string("could not start an HTTP request"));
  Response response;
  std::unique_ptr<FILE, FileCloser> file;
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
  // libcurl's own low-speed check averages over several seconds; this one ends the transfer
  // once nothing has moved for the limit.
  IdleWatch idle{request.idle_limit, 0, 0, std::chrono::steady_clock::now(), false};
  if (request.idle_limit.count() > 0) {
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, idle_check);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &idle);
  }
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  if (request.method == "POST") {
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, request.body.c_str());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(request.body.size()));
  } else if (request.method != "GET") {
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
  std::unique_ptr<curl_slist, SlistDeleter> headers;
  for (const auto& [k, v] : request.headers) {
    std::string line = k + ": ";
    line += v;
    headers.reset(curl_slist_append(headers.release(), line.c_str()));
  }
  if (headers) curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  if (!request.output_file.empty()) {
    file.reset(std::fopen(request.output_file.c_str(), "wb"));
    if (!file) return tl::unexpected("cannot write " + request.output_file);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, write_to_file);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, file.get());
  } else {
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, write_to_string);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &response.body);
  }
  CURLcode rc = curl_easy_perform(c);
  if (rc == CURLE_ABORTED_BY_CALLBACK && idle.stalled) {
    return tl::unexpected("Transfer stalled: no data for " +
                          std::to_string((request.idle_limit.count() + 999) / 1000) + " s");
  }
  if (rc != CURLE_OK) return tl::unexpected(std::string(curl_easy_strerror(rc)));
  if (file && std::fflush(file.get()) != 0) {
    return tl::unexpected("cannot write " + request.output_file);
  }
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &response.status);
  return response;
}

tl::expected<Response, std::string> get(const std::string& url, std::chrono::milliseconds timeout) {
  Request r;
  r.url = url;
  r.timeout = timeout;
  return perform(r);
}

tl::expected<Response, std::string> post(const std::string& url, std::string body,
                                         std::chrono::milliseconds timeout) {
  Request r;
  r.method = "POST";
  r.url = url;
  r.body = std::move(body);
  r.timeout = timeout;
  return perform(r);
}

}  // namespace vessa::http
