// The application-wide "will terminate" moment that components register with.
#include "support/lifecycle.hpp"

#include <atomic>
#include <climits>
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

// INT_MIN: nothing asked for.
std::atomic<int> g_exit_status{INT_MIN};

}  // namespace

void request_exit_status(int status) { g_exit_status = status; }

std::optional<int> requested_exit_status() {
  int status = g_exit_status;
  if (status == INT_MIN) return std::nullopt;
  return status;
}

void on_will_terminate(std::function<void()> hook) {
  std::scoped_lock lock(hooks().mutex);
  hooks().hooks.push_back(std::move(hook));
}

void run_will_terminate() {
  std::vector<std::function<void()>> todo;
  {
    std::scoped_lock lock(hooks().mutex);
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
