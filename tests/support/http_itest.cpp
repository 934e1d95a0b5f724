// The HTTP client against a real local server.
#include <gtest/gtest.h>
#include <httplib.h>

#include <thread>

#include "fixtures/temp_home.hpp"
#include "support/http.hpp"

namespace vessa::http {
namespace {

using std::chrono::milliseconds;

class LocalServer {
 public:
  LocalServer() {
    server_.Get("/ok", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("hello", "text/plain");
    });
    server_.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
      res.status = 404;
      res.set_content("nope", "text/plain");
    });
    server_.Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
      res.status = 201;
      res.set_content(req.body + "|" + req.get_header_value("X-Token"), "text/plain");
    });
    server_.Get("/slow", [](const httplib::Request&, httplib::Response& res) {
      std::this_thread::sleep_for(std::chrono::seconds(2));
      res.set_content("late", "text/plain");
    });
    server_.Get("/redirect",
                [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/ok"); });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ~LocalServer() {
    server_.stop();
    thread_.join();
  }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
};

TEST(HttpClient, StatusAndBodyForEveryAnswer) {
  LocalServer server;
  auto ok = get(server.url("/ok"), milliseconds(3000));
  ASSERT_TRUE(ok.has_value()) << ok.error();
  EXPECT_EQ(ok->status, 200);
  EXPECT_EQ(ok->body, "hello");

  auto missing = get(server.url("/missing"), milliseconds(3000));
  ASSERT_TRUE(missing.has_value());  // an HTTP error status is still a response
  EXPECT_EQ(missing->status, 404);

  auto redirected = get(server.url("/redirect"), milliseconds(3000));
  ASSERT_TRUE(redirected.has_value());
  EXPECT_EQ(redirected->body, "hello");

  Request post_req;
  post_req.method = "POST";
  post_req.url = server.url("/echo");
  post_req.body = std::string("a\0b", 3);
  post_req.headers = {{"X-Token", "t0k"}};
  auto echoed = perform(post_req);
  ASSERT_TRUE(echoed.has_value());
  EXPECT_EQ(echoed->status, 201);
  EXPECT_EQ(echoed->body, std::string("a\0b|t0k", 7));
}

TEST(HttpClient, TimeoutsRefusalsAndBadUrlsAreErrors) {
  LocalServer server;
  auto start = std::chrono::steady_clock::now();
  auto slow = get(server.url("/slow"), milliseconds(300));
  EXPECT_FALSE(slow.has_value());
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(1500));

  // A port nobody listens on (bound then released).
  httplib::Server probe;
  int port = probe.bind_to_any_port("127.0.0.1");
  probe.stop();
  EXPECT_FALSE(get("http://127.0.0.1:" + std::to_string(port) + "/", milliseconds(1000)));
  EXPECT_FALSE(get("not a url", milliseconds(1000)).has_value());
  EXPECT_FALSE(get("file:///etc/passwd", milliseconds(1000)).has_value());
}

TEST(HttpClient, DownloadsToAFile) {
  LocalServer server;
  std::string out = std::string(std::getenv("HOME")) + "/download.bin";
  Request r;
  r.url = server.url("/ok");
  r.output_file = out;
  auto res = perform(r);
  ASSERT_TRUE(res.has_value());
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(vessa::testing::read_file(out), "hello");
}

}  // namespace
}  // namespace vessa::http
