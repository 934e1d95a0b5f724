// What the command families may ask of the running application (the "application delegate").
#pragma once

#include <memory>
#include <string>

#include "support/json.hpp"

namespace vessa::executor {
class ExecutorSupervisor;
}

namespace vessa::commands {

/// Implemented by the GTK application and by the headless runner; held weakly by the
/// registry, so families must cope with it being gone.
class AppContext {
 public:
  virtual ~AppContext() = default;
  /// Pushes an event into the page (through the bridge); dropped when there is no page.
  /// Any thread.
  virtual void emit(const std::string& event, const json& payload) = 0;
  /// The executor supervisor, or null where this application has none. Any thread.
  virtual std::shared_ptr<executor::ExecutorSupervisor> executor() { return nullptr; }
  /// Quits through the normal path (will-terminate hooks run). Main thread.
  virtual void quit() = 0;
  /// Starts a user-initiated update check (the snooze is cleared first). Main thread.
  virtual void check_for_updates() {}
};

}  // namespace vessa::commands
