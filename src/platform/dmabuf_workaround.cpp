// Work-around for blank WebKitGTK windows with the NVIDIA driver's DMA-BUF renderer on X11.
#include "platform/dmabuf_workaround.hpp"

#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "support/log.hpp"

namespace vessa::platform {
namespace {

std::optional<std::string> env(const char* name) {
  const char* v = std::getenv(name);
  if (!v) return std::nullopt;
  return std::string(v);
}

}  // namespace

DmabufDecision decide_dmabuf(const DmabufInputs& in) {
  DmabufDecision d;
  if (in.user_value) {
    d.log_line = "DMA-BUF renderer: WEBKIT_DISABLE_DMABUF_RENDERER=" + *in.user_value +
                 " set by the user; left as is";
    return d;
  }
  if (in.x11 && in.nvidia) {
    d.disable = true;
    d.log_line =
        "DMA-BUF renderer: disabled (X11 with the NVIDIA driver, WebKit bug 261874); "
        "set WEBKIT_DISABLE_DMABUF_RENDERER=0 to keep it";
    return d;
  }
  d.log_line = std::string("DMA-BUF renderer: left on (") + (in.x11 ? "X11" : "not X11") + ", " +
               (in.nvidia ? "NVIDIA driver" : "no NVIDIA driver") + ")";
  return d;
}

DmabufInputs current_dmabuf_inputs() {
  DmabufInputs in;
  in.user_value = env("WEBKIT_DISABLE_DMABUF_RENDERER");
  auto backend = env("GDK_BACKEND");
  auto session = env("XDG_SESSION_TYPE");
  auto wayland = env("WAYLAND_DISPLAY");
  auto display = env("DISPLAY");
  if (backend && !backend->empty()) {
    // GDK tries the listed backends in order; the first one decides.
    in.x11 = backend->starts_with("x11");
  } else if ((wayland && !wayland->empty()) || (session && *session == "wayland")) {
    in.x11 = false;
  } else {
    in.x11 = display && !display->empty();
  }
  std::error_code ec;
  in.nvidia = std::filesystem::exists("/proc/driver/nvidia/version", ec) ||
              std::filesystem::exists("/sys/module/nvidia", ec);
  return in;
}

void apply_dmabuf_workaround() {
  DmabufDecision d = decide_dmabuf(current_dmabuf_inputs());
  if (d.disable) setenv("WEBKIT_DISABLE_DMABUF_RENDERER", "1", 0);
  vessa::log(d.log_line);
}

}  // namespace vessa::platform
