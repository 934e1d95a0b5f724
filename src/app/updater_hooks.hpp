// Where the application starts update checks. The updater fills these in; until then they do
// nothing.
#pragma once

namespace vessa::app {

/// The launch-time check: runs detached at utility priority and never holds up the launch.
void start_launch_update_check();

/// A user-initiated check ("Check for Updates…"); the caller has already cleared the snooze.
void start_user_initiated_update_check();

}  // namespace vessa::app
