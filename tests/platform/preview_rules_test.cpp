// The loopback rule for preview addresses.
#include "platform/preview_rules.hpp"

#include <gtest/gtest.h>

namespace vessa::platform {
namespace {

TEST(PreviewRules, OnlyLoopbackHttpAndHttps) {
  struct Case {
    std::string url;
    bool allowed;
  } cases[] = {
      {"http://127.0.0.1:5173/", true},
      {"https://LOCALHOST:8443/path?q=1#f", true},
      {"HTTP://localhost", true},
      {"http://[::1]:3000/", true},
      {"http://user:pw@localhost:1/", true},
      {"http://192.168.1.10:3000/", false},
      {"http://10.0.0.1/", false},
      {"http://127.0.0.2/", false},
      {"http://localhost.example.com/", false},
      {"http://127.0.0.1@evil.example/", false},
      {"http://%6Cocalhost/", true},  // the loader decodes the host the same way
      {"http://localhost%2Eevil.example/", false},
      {"file:///etc/passwd", false},
      {"ws://localhost/", false},
      {"localhost:3000", false},
      {"http:localhost", false},
      {"//localhost/", false},
      {"http://local host/", false},
      {"", false},
      {std::string("http://localhost\0.evil.example/", 31), false},
  };
  for (const auto& c : cases) EXPECT_EQ(isAllowedPreviewURL(c.url), c.allowed) << c.url;
}

}  // namespace
}  // namespace vessa::platform
