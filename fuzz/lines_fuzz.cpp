// The line splitter: how a stream is cut into chunks never changes the lines it delivers.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "support/lines.hpp"

namespace {

using vessa::fuzz::check;

std::vector<std::string> split(std::string_view text, bool split_on_cr, std::string_view cuts) {
  std::vector<std::string> out;
  vessa::LineSplitter splitter([&out](std::string_view line) { out.emplace_back(line); },
                               split_on_cr);
  size_t pos = 0;
  for (unsigned char cut : cuts) {
    const size_t len = std::min<size_t>(cut % 17, text.size() - pos);
    splitter.feed(text.substr(pos, len));
    pos += len;
  }
  splitter.feed(text.substr(pos));
  splitter.finish();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first bytes choose where the rest is cut.
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  const size_t n_cuts = size == 0 ? 0 : std::min<size_t>(data[0] % 16, size - 1);
  const std::string_view cuts = all.substr(size == 0 ? 0 : 1, n_cuts);
  const std::string_view text = all.substr(size == 0 ? 0 : 1 + n_cuts);

  for (bool split_on_cr : {false, true}) {
    const auto whole = split(text, split_on_cr, {});
    check(split(text, split_on_cr, cuts) == whole, "chunking changed the lines");
    for (const auto& line : whole) {
      check(line.find('\n') == std::string::npos, "a line holds a line break");
      if (split_on_cr)
        check(line.find('\r') == std::string::npos, "a line holds a carriage return");
    }
  }

  // The whole-text splitter agrees with the stream splitter on "\n" and "\r\n" endings.
  auto pieces = vessa::split_lines(text);
  auto streamed = split(text, false, {});
  check(pieces.size() == streamed.size(), "whole-text and streamed line counts differ");
  for (const auto& piece : pieces) check(piece.find('\n') == std::string::npos, "line break kept");
  (void)vessa::trim(text);
  (void)vessa::first_line(text);
  return 0;
}
