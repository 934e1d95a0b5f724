// The HTTP client against a real local server.
#include <gtest/gtest.h>

#include <thread>

#include "fixtures/http_server.hpp"
#include "fixtures/loopback.hpp"
#include "fixtures/temp_home.hpp"
#include "support/http.hpp"

namespace vessa::http {
namespace {

using std::chrono::milliseconds;

// Serves "hello" at /ok, and the special answers below.
struct LocalServer : testing::HttpServer {
  LocalServer()
      : HttpServer([](httplib::Server& s) {
          s.Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
            res.status = 201;
            res.set_content(req.body + "|" + req.get_header_value("X-Token"), "text/plain");
          });
          s.Get("/slow", [](const httplib::Request&, httplib::Response& res) {
            std::this_thread::sleep_for(std::chrono::seconds(2));
            res.set_content("late", "text/plain");
          });
          s.Get("/redirect",
                [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/ok"); });
        }) {
    serve("/ok", "hello");
  }
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

  EXPECT_FALSE(get("http://127.0.0.1:" + std::to_string(testing::free_loopback_port()) + "/",
                   milliseconds(1000)));
  EXPECT_FALSE(get("not a url", milliseconds(1000)).has_value());
  EXPECT_FALSE(get("file:///etc/passwd", milliseconds(1000)).has_value());
}

}  // namespace
}  // namespace vessa::http
