// Where the application starts update checks: on pool threads, since they block on the network.
#include "app/updater_hooks.hpp"

#include <gio/gio.h>

#include "support/dispatch.hpp"
#include "updater/update_checker.hpp"

namespace vessa::app {
namespace {

// "Restart Now" quits through the normal path, so every will-terminate hook runs.
void install_terminate_handler() {
  updater::UpdateChecker::set_terminate_handler([] {
    if (GApplication* app = g_application_get_default()) g_application_quit(app);
  });
}

}  // namespace

void start_launch_update_check() {
  install_terminate_handler();
  dispatch::global_async([] { updater::UpdateChecker::checkOnLaunch(); });
}

void start_user_initiated_update_check() {
  install_terminate_handler();
  dispatch::global_async([] { updater::UpdateChecker::checkNow(true); });
}

}  // namespace vessa::app
