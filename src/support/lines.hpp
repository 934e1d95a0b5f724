// Splits a byte stream into lines as it arrives.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "support/utf8.hpp"

namespace vessa {

/// Feeds chunks, calls `on_line` with each complete line (terminator removed). A "\r\n" pair
/// ends one line; with `split_on_cr` a lone "\r" ends a line too (progress bars redraw with it).
class LineSplitter {
 public:
  using Callback = std::function<void(std::string_view)>;
  explicit LineSplitter(Callback on_line, bool split_on_cr = false)
      : on_line_(std::move(on_line)), split_on_cr_(split_on_cr) {}

  void feed(std::string_view chunk);
  /// Delivers a final line without terminator, if any.
  void finish();

 private:
  Callback on_line_;
  bool split_on_cr_;
  bool pending_cr_ = false;
  std::string partial_;
};

/// Splits `text` at "\n" (dropping a trailing "\r" from each line); a trailing empty piece
/// after a final newline is not returned.
std::vector<std::string> split_lines(std::string_view text);

/// `text` without leading and trailing white space and line breaks.
std::string trim(std::string_view text);

/// The first line of `text` (up to the first "\n" or "\r").
std::string first_line(std::string_view text);

/// The space-separated fields of `text` (runs of spaces count as one), at most `max` of them:
/// the columns of a /proc table row. Views into `text`.
std::vector<std::string_view> split_fields(std::string_view text, size_t max = SIZE_MAX);

}  // namespace vessa
