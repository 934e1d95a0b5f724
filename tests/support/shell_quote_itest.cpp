// shell_quote: the word /bin/sh reads back is exactly the text, whatever bytes it holds.
#include <gtest/gtest.h>

#include "support/shell_quote.hpp"
#include "support/subprocess.hpp"

namespace vessa {
namespace {

TEST(ShellQuote, ShellReadsBackTheExactText) {
  struct Case {
    std::string text;
    std::string quoted;
  };
  const Case cases[] = {
      {"", "''"},
      {"plain", "'plain'"},
      {"it's", "'it'\\''s'"},
      {"''", "''\\'''\\'''"},
      {"a\nb", "'a\nb'"},
      {"$HOME `id` \"x\" \\ ;|&*?", "'$HOME `id` \"x\" \\ ;|&*?'"},
      {"caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x98\x80", "'caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x98\x80'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(shell_quote(c.text), c.quoted);
    // The line is built here, not from page text: this is the one place the quoting is proven.
    proc::Options o;
    o.argv = {"/bin/sh", "-c", "printf %s " + shell_quote(c.text)};
    auto out = proc::run(o);
    ASSERT_TRUE(out) << out.error();
    EXPECT_TRUE(out->status.success()) << out->err;
    EXPECT_EQ(out->out, c.text);
  }
}

}  // namespace
}  // namespace vessa
