// Work-around for blank WebKitGTK windows with the NVIDIA driver's DMA-BUF renderer on X11.
// Upstream: https://bugs.webkit.org/show_bug.cgi?id=261874. Remove once the WebKitGTK we ship
// renders through DMA-BUF on NVIDIA under X11.
#pragma once

#include <optional>
#include <string>

namespace vessa::platform {

struct DmabufInputs {
  /// Current WEBKIT_DISABLE_DMABUF_RENDERER, when set (a user choice is never overridden).
  std::optional<std::string> user_value;
  /// True when the session is X11 (not Wayland).
  bool x11 = false;
  /// True when the NVIDIA kernel driver is loaded.
  bool nvidia = false;
};

struct DmabufDecision {
  /// True when WEBKIT_DISABLE_DMABUF_RENDERER=1 is to be set.
  bool disable = false;
  /// The log line explaining the decision.
  std::string log_line;
};

DmabufDecision decide_dmabuf(const DmabufInputs& inputs);

/// Reads the inputs of this process: the variable, the session type (GDK_BACKEND,
/// XDG_SESSION_TYPE, WAYLAND_DISPLAY/DISPLAY) and /proc/driver/nvidia or /sys/module/nvidia.
DmabufInputs current_dmabuf_inputs();

/// Decides, sets the variable when needed and logs. Call before the first web view exists.
void apply_dmabuf_workaround();

}  // namespace vessa::platform
