// Page-side parts of the Tauri 2 plug-ins: the isTauri flag of @tauri-apps/api/core, the
// synchronous getters of the os plug-in, and the window.Notification that the notification
// plug-in's package sends through. Injected into the app's page right after the IPC shim; the
// shell puts this machine's facts in place of the marker.
(function (osInfo) {
  'use strict';
  if (!('isTauri' in globalThis)) globalThis.isTauri = true;
  if (!window.__TAURI_OS_PLUGIN_INTERNALS__) {
    window.__TAURI_OS_PLUGIN_INTERNALS__ = Object.freeze(osInfo);
  }

  var internals = window.__TAURI_INTERNALS__;
  if (!internals || typeof internals.invoke !== 'function') return;
  var invoke = internals.invoke;
  // "granted" when the desktop's notification service is usable. Learnt on first use, not at
  // load: a request at load would take the page's first request id.
  var permission = 'default';
  var asking = null;
  function learnPermission() {
    if (!asking) {
      asking = invoke('plugin:notification|is_permission_granted').then(function (granted) {
        if (permission === 'default') permission = granted ? 'granted' : 'denied';
      }, function () {
        asking = null;
      });
    }
  }

  // Notifications reach the desktop's notification service through the shell; the instance
  // keeps the standard fields, and close() has nothing to take back.
  class Notification extends EventTarget {
    constructor(title, options) {
      super();
      if (arguments.length === 0) {
        throw new TypeError("Failed to construct 'Notification': 1 argument required");
      }
      var opts = options || {};
      this.title = String(title);
      this.body = opts.body === undefined ? '' : String(opts.body);
      this.tag = opts.tag === undefined ? '' : String(opts.tag);
      this.icon = opts.icon === undefined ? '' : String(opts.icon);
      this.data = opts.data === undefined ? null : opts.data;
      this.onclick = this.onshow = this.onerror = this.onclose = null;
      var sent = Object.assign({}, opts, { title: this.title });
      invoke('plugin:notification|notify', { options: sent }).catch(function () {});
    }
    close() {}
    static get permission() {
      if (permission === 'default') learnPermission();
      return permission;
    }
    static requestPermission(callback) {
      return invoke('plugin:notification|request_permission').then(function (answer) {
        // null: no notification service to ask.
        permission = answer === 'granted' ? 'granted' : 'denied';
        if (typeof callback === 'function') callback(permission);
        return permission;
      });
    }
  }
  Object.defineProperty(window, 'Notification', {
    value: Notification,
    writable: true,
    configurable: true
  });
})(__VESSA_OS_INFO__);
