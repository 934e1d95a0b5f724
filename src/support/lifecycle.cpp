// The application-wide "will terminate" moment that components register with.
#include "support/lifecycle.hpp"

#include <exception>
#include <mutex>
#include <vector>

#include "support/log.hpp"

namespace vessa::lifecycle {
namespace {

struct Hooks {
  std::mutex mutex;
  std::vector<std::function<void()>> hooks;
  bool ran = false;
};

Hooks& hooks() {
  static auto* h = new Hooks();
  return *h;
}

}  // namespace

void on_will_terminate(std::function<void()> hook) {
  std::lock_guard lock(hooks().mutex);
  hooks().hooks.push_back(std::move(hook));
}

void run_will_terminate() {
  std::vector<std::function<void()>> todo;
  {
    std::lock_guard lock(hooks().mutex);
    if (hooks().ran) return;
    hooks().ran = true;
    todo.swap(hooks().hooks);
  }
  for (auto& h : todo) {
    try {
      h();
    } catch (const std::exception& e) {
      vessa::log(std::string("will-terminate hook failed: ") + e.what());
    }
  }
}

}  // namespace vessa::lifecycle
