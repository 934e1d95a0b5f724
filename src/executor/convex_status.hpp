// Whether something accepts connections on a local TCP port (the Convex backend's 3210).
#pragma once

#include <cstdint>

namespace vessa::executor::convex {

inline constexpr uint16_t kConvexPort = 3210;
inline constexpr int32_t kProbeTimeoutMs = 500;

/// True when a TCP connection to 127.0.0.1:`port` is accepted within `timeoutMs`. Never fails:
/// every error counts as a free port. Blocks the calling thread up to `timeoutMs`; waits cut
/// short by signals resume against the original deadline.
bool convexPortInUse(uint16_t port, int32_t timeoutMs);

}  // namespace vessa::executor::convex
