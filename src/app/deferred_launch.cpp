#include "app/deferred_launch.hpp"

#include "support/dispatch.hpp"

namespace vessa::app {

std::shared_ptr<DeferredLaunch> DeferredLaunch::create(std::function<void()> steps) {
  return std::shared_ptr<DeferredLaunch>(new DeferredLaunch(std::move(steps)));
}

void DeferredLaunch::arm(std::chrono::milliseconds limit) {
  std::weak_ptr<DeferredLaunch> weak = weak_from_this();
  dispatch::main_after(limit, [weak] {
    if (auto self = weak.lock()) self->release();
  });
}

void DeferredLaunch::cancel() {
  done_ = true;
  steps_ = nullptr;
}

void DeferredLaunch::release() {
  if (done_) return;
  done_ = true;
  // Moved out first: the steps may drop the last owner of this object.
  auto steps = std::move(steps_);
  steps_ = nullptr;
  if (steps) steps();
}

}  // namespace vessa::app
