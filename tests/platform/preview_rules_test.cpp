// The preview window's address rule.
#include "platform/preview_rules.hpp"

#include <gtest/gtest.h>

namespace vessa::platform {
namespace {

TEST(PreviewRules, LoopbackHttpOnly) {
  const std::pair<const char*, bool> cases[] = {
      {"http://127.0.0.1:5173/", true},
      {"https://LOCALHOST/app", true},
      {"HTTP://localhost", true},
      {"http://[::1]:8080/x?y#z", true},
      {"http://localhost:1/", true},
      {"http://192.168.1.10:3000/", false},
      {"http://10.0.0.1/", false},
      {"file:///etc/passwd", false},
      {"ftp://localhost/", false},
      {"localhost:3000", false},
      {"http://", false},
      {"", false},
      {"not a url", false},
      {"http://localhost.evil.com/", false},
      {"http://127.0.0.1.nip.io/", false},
      {"http://localhost@evil.com/", false},
      {"http://evil.com#@localhost/", false},
      // A browser reads "\" as "/", so the host would be evil.com.
      {"http://evil.com\\@localhost/", false},
      {"http://local host/", false},
      {"http://localhost/\n", false},
  };
  for (const auto& [url, allowed] : cases) EXPECT_EQ(isAllowedPreviewURL(url), allowed) << url;
}

}  // namespace
}  // namespace vessa::platform
