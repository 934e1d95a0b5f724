// Process entry: the command self-test, the headless command runner, or the application.
#include <csignal>
#include <string_view>

#include "app/application.hpp"
#include "app/invoke_runner.hpp"
#include "selftest/command_self_test.hpp"
#include "support/main_thread.hpp"

int main(int argc, char** argv) {
  vessa::record_main_thread();
  // A child or socket that closes early must never end the shell.
  std::signal(SIGPIPE, SIG_IGN);
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--selftest-commands") {
      return vessa::selftest::run_command_self_test();
    }
  }
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--invoke") return vessa::app::run_invoke(argc, argv);
  }
  return vessa::app::run_application(argc, argv);
}
