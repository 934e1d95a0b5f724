// UTF-8 validation and lossy decoding.
#include "support/utf8.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vessa {
namespace {

TEST(Utf8, ReplacesEachMaximalIllFormedSubsequenceOnce) {
  const std::string r = "\xEF\xBF\xBD";
  struct Case {
    std::string in;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"plain ascii", "plain ascii"},
      {"caf\xC3\xA9 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
      {"a\xFF"
       "b",
       "a" + r + "b"},
      {"\xE2\x82", r},  // truncated three-byte sequence: one replacement
      {"\xE2\x82z", r + "z"},
      {"\xC0\xAF", r + r},                          // overlong lead byte, then a lone continuation
      {"\xE0\x80\x80", r + r + r},                  // overlong three-byte form
      {"\xED\xA0\x80", r + r + r},                  // surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},          // past U+10FFFF
      {"\xF0\x9F\x98", r},                          // truncated four-byte sequence
      {"\xF8\x88\x80\x80\x80", r + r + r + r + r},  // five-byte form
      {std::string("nul\0ok", 6), std::string("nul\0ok", 6)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(utf8_lossy(c.in), c.out) << c.in;
    EXPECT_EQ(is_valid_utf8(c.in), c.in == c.out) << c.in;
    EXPECT_TRUE(is_valid_utf8(utf8_lossy(c.in))) << c.in;
  }
}

}  // namespace
}  // namespace vessa
