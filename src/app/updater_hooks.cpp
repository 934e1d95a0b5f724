// Where the application starts update checks (no-ops until the updater exists).
#include "app/updater_hooks.hpp"

namespace vessa::app {

void start_launch_update_check() {}

void start_user_initiated_update_check() {}

}  // namespace vessa::app
