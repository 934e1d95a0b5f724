// Quoting for the few /bin/sh lines we build ourselves.
#include "support/shell_quote.hpp"

namespace vessa {

std::string shell_quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('\'');
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out.push_back(c);
    }
  }
  out.push_back('\'');
  return out;
}

}  // namespace vessa
