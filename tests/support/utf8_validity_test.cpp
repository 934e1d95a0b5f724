// is_valid_utf8: what counts as decodable text from a child process.
#include <gtest/gtest.h>

#include "support/lines.hpp"

namespace vessa {
namespace {

TEST(IsValidUtf8, AcceptsWellFormedAndRejectsMalformedSequences) {
  struct Case {
    std::string text;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"plain ascii 1.0", true},
      {"Zo\xC3\xAB \xE2\x80\x94 \xF0\x9F\x9A\x80", true},  // ë, em dash, rocket
      {"\xFF", false},
      {"\xC3", false},                  // truncated
      {"\xE2\x80", false},              // truncated
      {"\xC0\xAF", false},              // overlong "/"
      {"\xE0\x80\xAF", false},          // overlong
      {"\xED\xA0\x80", false},          // surrogate
      {"\xF4\x90\x80\x80", false},      // past U+10FFFF
      {"ok\x80", false},                // stray continuation byte
      {"\xF8\x88\x80\x80\x80", false},  // five-byte form
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_valid_utf8(c.text), c.valid) << ::testing::PrintToString(c.text);
  }
}

}  // namespace
}  // namespace vessa
