// The per-launch UI token (its injection into a real page is proven by the page bridge test).
#include "bridge/ui_token.hpp"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "fixtures/helpers.hpp"
#include "fixtures/temp_home.hpp"

namespace vessa::bridge::ui_token {
namespace {

bool failing_random(unsigned char* /*buf*/, size_t /*size*/) { return false; }

TEST(UIToken, FortyThreeUrlSafeCharactersStableForTheProcess) {
  std::set<std::string> seen;
  std::vector<std::thread> readers;
  std::mutex m;
  for (int i = 0; i < 8; ++i) {
    readers.emplace_back([&] {
      auto v = value();
      std::lock_guard lock(m);
      seen.insert(v.value_or(""));
    });
  }
  for (auto& t : readers) t.join();
  ASSERT_EQ(seen.size(), 1u);  // concurrent first reads mint one token
  const std::string token = *seen.begin();
  ASSERT_EQ(token.size(), 43u);
  EXPECT_EQ(
      token.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
      std::string::npos);
}

TEST(UIToken, FallsBackToUrandomThenGivesUpWithTheLogLine) {
  vessa::testing::LogCapture logs;
  auto from_urandom = detail::mint(failing_random, "/dev/urandom");
  ASSERT_TRUE(from_urandom.has_value());
  EXPECT_EQ(from_urandom->size(), 43u);
  EXPECT_TRUE(logs.lines().empty());

  // A short read counts as failure of that source.
  const std::string short_file =
      vessa::testing::write_file(std::string(std::getenv("HOME")) + "/short", "only a few bytes");
  EXPECT_FALSE(detail::mint(failing_random, short_file.c_str()).has_value());
  EXPECT_FALSE(detail::mint(failing_random, "/nonexistent").has_value());
  EXPECT_TRUE(logs.contains(
      "[VessaMac] UIToken: no CSPRNG available \u2014 UI token disabled for this launch"));
}

}  // namespace
}  // namespace vessa::bridge::ui_token
