#include "app/deferred_launch.hpp"

#include "support/callback_guard.hpp"
#include "support/dispatch.hpp"
#include "support/main_thread.hpp"

namespace vessa::app {

std::shared_ptr<DeferredLaunch> DeferredLaunch::create(std::function<void()> steps) {
  return std::shared_ptr<DeferredLaunch>(new DeferredLaunch(std::move(steps)));
}

void DeferredLaunch::arm(std::chrono::milliseconds limit) {
  assert_main_thread();
  std::weak_ptr<DeferredLaunch> weak = weak_from_this();
  dispatch::main_after(limit, [weak] {
    if (auto self = weak.lock()) self->release();
  });
}

void DeferredLaunch::release_after_frames(GtkWidget* widget, int frames) {
  assert_main_thread();
  if (done_) return;
  struct Wait {
    std::weak_ptr<DeferredLaunch> launch;
    int frames;
  };
  gtk_widget_add_tick_callback(
      widget,
      +[](GtkWidget*, GdkFrameClock*, gpointer data) noexcept -> gboolean {
        auto* wait = static_cast<Wait*>(data);
        if (--wait->frames > 0) return G_SOURCE_CONTINUE;
        if (auto launch = wait->launch.lock()) {
          guard_callback("launch steps failed", [&launch] { launch->release(); });
        }
        return G_SOURCE_REMOVE;
      },
      new Wait{weak_from_this(), frames}, [](gpointer data) { delete static_cast<Wait*>(data); });
}

void DeferredLaunch::cancel() {
  assert_main_thread();
  done_ = true;
  steps_ = nullptr;
}

void DeferredLaunch::release() {
  assert_main_thread();
  if (done_) return;
  done_ = true;
  // Moved out first: the steps may drop the last owner of this object.
  auto steps = std::move(steps_);
  steps_ = nullptr;
  if (steps) steps();
}

}  // namespace vessa::app
