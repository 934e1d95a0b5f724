// Modal alerts on GTK 4.8 (GtkMessageDialog).
#pragma once

#include "platform/alerts.hpp"

namespace vessa::platform {

/// Alerts as message dialogs over the application's active window. Main thread only.
class GtkAlerts : public Alerts {
 public:
  void show(const Alert& alert, std::function<void(int button)> done) override;
  bool ready_to_present() override;
};

}  // namespace vessa::platform
