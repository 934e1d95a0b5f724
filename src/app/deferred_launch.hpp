// The launch's background steps (executor ensure, update check), held back until the first page
// load has finished. Started at once, the login shell, the sidecar and the network request take
// the CPU the web process needs to show the first page; the page cannot see their events before
// it has loaded anyway.
#pragma once

#include <gtk/gtk.h>

#include <chrono>
#include <functional>
#include <memory>

namespace vessa::app {

class DeferredLaunch : public std::enable_shared_from_this<DeferredLaunch> {
 public:
  /// `steps` runs exactly once, on the main thread: at release(), or when the time limit given
  /// to arm() has passed, whichever comes first.
  static std::shared_ptr<DeferredLaunch> create(std::function<void()> steps);

  /// Runs the steps after `limit` on the main queue unless release() came first: a page that
  /// never finishes loading must not keep the sidecar from starting. Main thread.
  void arm(std::chrono::milliseconds limit);

  /// Runs the steps now if they have not run yet. Main thread.
  void release();

  /// Runs the steps once `widget` has drawn `frames` more frames: the page's first paint comes
  /// just after its load has finished. A widget that draws nothing leaves it to the time limit.
  /// Main thread.
  void release_after_frames(GtkWidget* widget, int frames);

  /// The steps will never run (the application is quitting). Main thread.
  void cancel();

  /// Whether the steps have run or been cancelled.
  bool done() const { return done_; }

 private:
  explicit DeferredLaunch(std::function<void()> steps) : steps_(std::move(steps)) {}

  std::function<void()> steps_;
  bool done_ = false;
};

}  // namespace vessa::app
