// The desktop clipboard, as the page's clipboard module uses it.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace vessa::platform {

/// The desktop's clipboard. Main thread only.
class Clipboard {
 public:
  virtual ~Clipboard() = default;
  /// Puts `text` on the clipboard as plain text. False when there is no clipboard.
  virtual bool write_text(const std::string& text) = 0;
  /// Puts `html` on the clipboard as HTML, with `alt_text` as its plain-text form.
  virtual bool write_html(const std::string& html, const std::string& alt_text) = 0;
  /// Empties the clipboard.
  virtual bool clear() = 0;
  /// Reads the clipboard's plain text; `done` runs once on the main thread, with nullopt when
  /// the clipboard holds no text.
  virtual void read_text(std::function<void(std::optional<std::string>)> done) = 0;
};

}  // namespace vessa::platform
