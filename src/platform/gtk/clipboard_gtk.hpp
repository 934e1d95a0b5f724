// The desktop clipboard through GDK.
#pragma once

#include "platform/clipboard.hpp"

namespace vessa::platform {

/// The default display's clipboard. Main thread only.
class GtkClipboard : public Clipboard {
 public:
  bool write_text(const std::string& text) override;
  bool write_html(const std::string& html, const std::string& alt_text) override;
  bool clear() override;
  void read_text(std::function<void(std::optional<std::string>)> done) override;
};

}  // namespace vessa::platform
