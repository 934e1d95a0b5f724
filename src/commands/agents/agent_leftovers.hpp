// Agent process groups recorded on disk, so that a shell that died without cleaning up (a crash,
// kill -9) has its agents ended by the next launch.
#pragma once

#include <sys/types.h>

#include <string>

namespace vessa::commands::agents {

/// Where the records live: $XDG_RUNTIME_DIR/vessa/agents, else $XDG_CACHE_HOME (or
/// ~/.cache)/vessa/agents. Not created here.
std::string records_dir();

/// Records that this process owns agent group `pgid` (its leader is `pgid`). Any thread.
void record_group(pid_t pgid);

/// Drops the record of group `pgid`. Any thread.
void forget_group(pid_t pgid);

/// Ends every recorded group whose owning shell is gone and which is still the group that was
/// recorded (its leader's start time, or members no older than it, when the leader is gone),
/// then drops those records. Groups of a shell that still runs are left alone. Blocks up to a
/// few seconds when a leftover ignores SIGTERM. Returns how many groups were ended.
int end_leftover_groups();

}  // namespace vessa::commands::agents
