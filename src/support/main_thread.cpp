// The main thread: recorded once, checked where code is main-thread only.
#include "support/main_thread.hpp"

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/log.hpp"

namespace vessa {
namespace {

// Set during static initialisation, which runs on the program's first thread.
std::atomic<std::thread::id> g_main_thread{std::this_thread::get_id()};

}  // namespace

void record_main_thread() { g_main_thread.store(std::this_thread::get_id()); }

bool on_main_thread() { return g_main_thread.load() == std::this_thread::get_id(); }

#ifndef VESSA_NO_DEV_CHECKS
void assert_main_thread(const char* function, const char* file, int line) {
  if (on_main_thread()) return;
  vessa::log(std::string("main-thread-only call on another thread: ") + function + " (" + file +
             ":" + std::to_string(line) + ")");
  std::abort();
}
#endif

}  // namespace vessa
