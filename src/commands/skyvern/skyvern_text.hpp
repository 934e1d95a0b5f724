// Text handling for the Skyvern commands: UTF-8 checks and the installers' line stream.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "support/utf8.hpp"

namespace vessa::commands::skyvern {

/// Splits an installer's output into lines as it arrives: lines end at "\n" only, one "\r"
/// before it is dropped, bytes are decoded leniently (U+FFFD). Empty lines are delivered; a
/// final unterminated line is delivered as it is (a trailing "\r" included).
class ScriptLineStream {
 public:
  using Callback = std::function<void(const std::string&)>;
  explicit ScriptLineStream(Callback on_line) : on_line_(std::move(on_line)) {}

  void feed(std::string_view chunk);
  /// Delivers what is left after the last line feed, if anything.
  void finish();

 private:
  Callback on_line_;
  std::string buffer_;
};

}  // namespace vessa::commands::skyvern
