// Page-side parts of the Tauri 2 plug-ins that need no round trip: the isTauri flag of
// @tauri-apps/api/core and the synchronous getters of the os plug-in. Injected into the app's
// page right after the IPC shim; the shell puts this machine's facts in place of the marker.
(function (osInfo) {
  'use strict';
  if (!('isTauri' in globalThis)) globalThis.isTauri = true;
  if (!window.__TAURI_OS_PLUGIN_INTERNALS__) {
    window.__TAURI_OS_PLUGIN_INTERNALS__ = Object.freeze(osInfo);
  }
})(__VESSA_OS_INFO__);
