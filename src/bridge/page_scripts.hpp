// Script texts the web view host runs in the page: the IPC shim, the after-load probe and the
// in-page command self-test.
#pragma once

#include <string>
#include <string_view>

namespace vessa::embedded {
/// src/bridge/ipc_shim.js, embedded at build time.
extern const std::string_view kIpcShimSource;
}  // namespace vessa::embedded

namespace vessa::bridge::page_scripts {

/// The IPC shim as injected into the app's page: its source with this launch's page key.
std::string ipc_shim_script(std::string_view page_key);

/// An expression giving the JSON text of {shim, isTauriInternals, title, rootChildren, url}.
extern const std::string_view kPageLoadedProbe;

/// The body of an async function (no arguments) that invokes the command families through
/// `window.__TAURI_INTERNALS__.invoke` and returns the JSON text of its result object.
extern const std::string_view kSelfTestBody;

}  // namespace vessa::bridge::page_scripts
