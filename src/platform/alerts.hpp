// Modal alerts with a message, an explanation and a row of buttons (the updater's prompts).
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace vessa::platform {

enum class AlertStyle { kInformational, kWarning };

struct Alert {
  AlertStyle style = AlertStyle::kInformational;
  std::string message;
  std::string informative_text;
  /// Button titles, the first one the default. Never empty when shown.
  std::vector<std::string> buttons;
};

/// Shows alerts over the main window, or on their own when there is none. Main thread only.
class Alerts {
 public:
  virtual ~Alerts() = default;
  /// Shows `alert` modally and returns at once; `done` runs on the main thread with the index
  /// of the chosen button, or -1 when the alert was closed without one. `done` may be empty.
  virtual void show(const Alert& alert, std::function<void(int button)> done) = 0;
  /// True when the application is active with a window on screen, so an alert can be seen.
  virtual bool ready_to_present() = 0;
};

}  // namespace vessa::platform
