// The page side of the bridge: the Tauri page interface (window.__TAURI_INTERNALS__ and
// window.__TAURI__) on top of the "vessa" message handler. Injected at document start into the
// main frame of every page load of the app's own content scheme (no other document gets it); the
// native side answers and pushes events through __VESSA_BATCH, which hands each delivery to
// __VESSA_RESOLVE, __VESSA_EMIT or __VESSA_CB.
(function () {
  'use strict';
  if (window.__TAURI_INTERNALS__) return;

  var pending = new Map(); // reqId -> { resolve, reject }
  var callbacks = new Map(); // callback id -> { fn, once }
  var listeners = new Map(); // event -> Set of { eid, handler }
  var directListeners = new Map(); // event -> Set of functions
  var reqSeq = 1;
  var cbSeq = 1;
  var evtSeq = 1;
  // Taken before page scripts run, so a page that replaces JSON.stringify cannot break posting.
  var stringify = JSON.stringify;
  // This launch's page key, put here by the shell when it injects the script. The shell reads
  // only messages that start with it; frames and other pages never get this script, so they
  // cannot know it. It lives in this closure only and is never handed to page code.
  var pageKey = '__VESSA_PAGE_KEY__';
  var handler = window.webkit.messageHandlers.vessa;
  // Bound now, so page code that later replaces Function.prototype.call never sees the key.
  var send = Function.prototype.call.bind(handler.postMessage, handler);

  // The web-process extension's byte channel (main frame of the app's documents only): taken
  // off the window before page code runs; it hands a message and its bytes to the shell as a
  // memory file, with no script text and no conversion on the shell's side.
  var sendFile = typeof window.__VESSA_SEND === 'function' ? window.__VESSA_SEND : null;
  delete window.__VESSA_SEND;
  // Bytes cross the web process as base64 text (native code may not touch ArrayBuffer memory
  // there); the engine's own conversions, taken before page code runs, else btoa/atob.
  var toBase64 = Uint8Array.prototype.toBase64;
  var fromBase64 = Uint8Array.fromBase64;
  var btoa = window.btoa;
  var atob = window.atob;
  var fromCharCode = String.fromCharCode;

  function bytesToBase64(view) {
    if (typeof toBase64 === 'function') return toBase64.call(view);
    var parts = [];
    for (var i = 0; i < view.length; i += 0x8000) {
      parts.push(fromCharCode.apply(null, view.subarray(i, i + 0x8000)));
    }
    return btoa(parts.join(''));
  }

  function base64ToBuffer(text) {
    if (typeof fromBase64 === 'function') return fromBase64.call(Uint8Array, text).buffer;
    var binary = atob(text);
    var bytes = new Uint8Array(binary.length);
    for (var i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
    return bytes.buffer;
  }
  // Arguments whose JSON text is longer than this travel through the byte channel.
  var kLargeArgs = 64 * 1024;

  // One JSON string instead of the object: WebKit copies a string in one piece, where an object
  // graph is cloned value by value (seconds for a 10 MB argument). Values JSON cannot represent
  // (cycles, BigInt) throw here, before anything is posted.
  //
  // Messages of one turn of the page leave together after it, in one post: each message text
  // led by a record separator (U+001E, which JSON text never holds unescaped). A burst of calls
  // thus crosses to the shell once instead of once per call.
  var RS = '\u001e';
  var queued = []; // message texts not yet posted
  var failed = []; // for each, what to do when posting them fails (or null)
  var microtask = typeof window.queueMicrotask === 'function'
      ? window.queueMicrotask.bind(window)
      : function (fn) { Promise.resolve().then(fn); };

  function post(message, onFailure) {
    queued.push(stringify(message));
    failed.push(onFailure || null);
    if (queued.length === 1) microtask(flush);
  }

  // Posts what is queued now; anything posted another way calls this first, so order holds.
  function flush() {
    if (!queued.length) return;
    var texts = queued;
    var onFailure = failed;
    queued = [];
    failed = [];
    try {
      send(pageKey + (texts.length === 1 ? texts[0] : RS + texts.join(RS)));
    } catch (e) {
      onFailure.forEach(function (fn) {
        if (fn) fn(e);
      });
    }
  }

  // The message without its arguments through the byte channel; `payload` holds the raw body
  // ("body":"bytes", as base64) or the arguments' JSON text ("body":"json").
  function postFile(message, kind, payload) {
    flush();
    message.body = kind;
    if (!sendFile || !sendFile(pageKey + stringify(message), payload, kind === 'bytes')) {
      throw new Error('the shell cannot take bytes from this page');
    }
  }

  // An invoke: JSON arguments in the message, or the page's bytes as the raw body.
  function postInvoke(message, args, options, onFailure) {
    var headers = headersOf(options);
    if (args instanceof ArrayBuffer || ArrayBuffer.isView(args)) {
      if (headers) message.headers = headers;
      var view = args instanceof ArrayBuffer ? new Uint8Array(args)
          : new Uint8Array(args.buffer, args.byteOffset, args.byteLength);
      postFile(message, 'bytes', bytesToBase64(view));
      return;
    }
    var text = stringify(args);
    if (sendFile && text !== undefined && text.length > kLargeArgs) {
      if (headers) message.headers = headers;
      postFile(message, 'json', text);
      return;
    }
    message.args = args;
    if (headers) message.headers = headers;
    post(message, onFailure);
  }

  // options.headers as the page gave it (Headers, a record or pairs): names in lower case.
  function headersOf(options) {
    if (!options || !options.headers) return undefined;
    var out = {};
    new Headers(options.headers).forEach(function (value, name) {
      out[name] = value;
    });
    return out;
  }

  // The app's page may also post to the handler itself, as a string or an object; those
  // messages carry the key as well.
  try {
    Object.defineProperty(handler, 'postMessage', {
      value: function (message) {
        flush();
        send(pageKey + (typeof message === 'string' ? message : stringify(message)));
      }
    });
  } catch (e) {
    // A handler that cannot take the property keeps its own posting: only the shim's work.
  }

  function setFor(map, key) {
    var set = map.get(key);
    if (!set) {
      set = new Set();
      map.set(key, set);
    }
    return set;
  }

  // Snapshots: listeners added or removed while delivering take effect from the next event.
  function deliver(event, payload) {
    var set = listeners.get(event);
    if (set) {
      Array.from(set).forEach(function (record) {
        var cb = callbacks.get(record.handler);
        if (cb) cb.fn({ event: event, id: record.eid, payload: payload });
      });
    }
    var direct = directListeners.get(event);
    if (direct) {
      Array.from(direct).forEach(function (fn) {
        fn({ event: event, payload: payload });
      });
    }
  }

  // Closing the window waits for the page only while it listens for close requests: the shell
  // hears when the first such listener comes and the last one goes, and, after each request,
  // how many listeners it reached (none: the shell closes at once; no word at all: the shell
  // closes after a few seconds).
  var CLOSE_REQUESTED = 'tauri://close-requested';
  var closeListened = false;
  function tellShell(cmd, args) {
    invoke(cmd, args).catch(function () {});
  }
  function noteCloseListeners() {
    var set = listeners.get(CLOSE_REQUESTED);
    var now = !!(set && set.size);
    if (now === closeListened) return;
    closeListened = now;
    tellShell('plugin:window|internal_close_listened', { value: now });
  }

  function transformCallback(fn, once) {
    var id = cbSeq++;
    callbacks.set(id, { fn: fn || function () {}, once: !!once });
    return id;
  }

  function runCallback(id, payload) {
    var cb = callbacks.get(id);
    if (!cb) return;
    cb.fn(payload);
    if (cb.once) callbacks.delete(id);
  }

  function unregisterListener(event, eventId) {
    var set = listeners.get(event);
    if (!set) return;
    Array.from(set).forEach(function (record) {
      if (record.eid === eventId) set.delete(record);
    });
    if (event === CLOSE_REQUESTED) noteCloseListeners();
  }

  function invoke(cmd, args, options) {
    if (!args) args = {};
    if (cmd === 'plugin:event|listen') {
      var eid = evtSeq++;
      setFor(listeners, args.event).add({ eid: eid, handler: args.handler });
      if (args.event === CLOSE_REQUESTED) noteCloseListeners();
      return Promise.resolve(eid);
    }
    if (cmd === 'plugin:event|unlisten') {
      unregisterListener(args.event, args.eventId);
      return Promise.resolve();
    }
    if (cmd === 'plugin:event|emit' || cmd === 'plugin:event|emit_to') {
      deliver(args.event, args.payload);
      try {
        post({ type: 'emit', event: args.event, payload: args.payload });
      } catch (e) {
        return Promise.reject(e);
      }
      return Promise.resolve();
    }
    var reqId = reqSeq++;
    return new Promise(function (resolve, reject) {
      pending.set(reqId, { resolve: resolve, reject: reject });
      try {
        postInvoke({ type: 'invoke', reqId: reqId, cmd: cmd }, args, options, function (e) {
          pending.delete(reqId);
          reject(e);
        });
      } catch (e) {
        // Arguments the page cannot post (functions, say) never reach the native side.
        pending.delete(reqId);
        throw e;
      }
    });
  }

  var eventApi = {
    listen: function (event, handler) {
      var wrapper = function (e) {
        handler(e);
      };
      setFor(directListeners, event).add(wrapper);
      return Promise.resolve(function () {
        var set = directListeners.get(event);
        if (set) set.delete(wrapper);
      });
    },
    once: function (event, handler) {
      return eventApi.listen(event, function (e) {
        handler(e);
      });
    },
    emit: function (event, payload) {
      return invoke('plugin:event|emit', { event: event, payload: payload });
    }
  };

  window.__TAURI_INTERNALS__ = {
    invoke: invoke,
    transformCallback: transformCallback,
    // The current @tauri-apps/api 2.x package also calls these.
    unregisterCallback: function (id) {
      callbacks.delete(id);
    },
    runCallback: runCallback,
    plugins: { path: { sep: '/', delimiter: ':' } },
    event: eventApi,
    metadata: { currentWindow: { label: 'main' }, currentWebview: { label: 'main' } },
    convertFileSrc: function (path) {
      return path;
    }
  };
  // @tauri-apps/api 2.x removes the page-side record itself before "plugin:event|unlisten";
  // without this object its unlisten() throws and once() listeners are never removed.
  window.__TAURI_EVENT_PLUGIN_INTERNALS__ = { unregisterListener: unregisterListener };

  if (!window.__TAURI__) {
    window.__TAURI__ = {
      core: { invoke: invoke, transformCallback: transformCallback },
      event: eventApi
    };
  }

  window.__VESSA_RESOLVE = function (reqId, ok, data) {
    var entry = pending.get(reqId);
    if (!entry) return;
    pending.delete(reqId);
    if (ok) {
      entry.resolve(data);
    } else if (typeof data === 'string') {
      entry.reject(data);
    } else if (data && data.message) {
      entry.reject(data.message);
    } else {
      entry.reject('error');
    }
  };
  window.__VESSA_EMIT = function (event, payload) {
    if (event !== CLOSE_REQUESTED) {
      deliver(event, payload);
      return;
    }
    var reached = 0;
    var set = listeners.get(event);
    if (set) {
      set.forEach(function (record) {
        if (callbacks.has(record.handler)) reached++;
      });
    }
    try {
      deliver(event, payload);
    } finally {
      tellShell('plugin:window|internal_close_delivered', { listeners: reached });
    }
  };
  window.__VESSA_CB = runCallback;
  // Every delivery arrives here, alone or with others of its turn: one array, which the engine
  // parses on its JSON fast path.
  // [reqId, ok, value] answers a request, [event, value] delivers an event and [null, id, value]
  // calls a callback (a channel's message), in order, each through the globals above as if it
  // had come alone. A large value arrives as null followed by the token under which it waits,
  // parked (see readValue).
  window.__VESSA_BATCH = function (items) {
    for (var i = 0; i < items.length; i++) {
      var item = items[i];
      try {
        if (item[0] === null) {
          runCallback(item[1], item.length > 3 ? readValue(item[3]) : item[2]);
        } else if (typeof item[0] === 'number') {
          var ok = item[1];
          var data = item[2];
          if (item.length > 3) {
            try {
              data = readValue(item[3]);
            } catch (e) {
              ok = false;
              data = 'the result could not be delivered';
            }
          }
          window.__VESSA_RESOLVE(item[0], ok, data);
        } else {
          window.__VESSA_EMIT(item[0], item.length > 2 ? readValue(item[2]) : item[1]);
        }
      } catch (e) {
        // A throwing listener stops only its own delivery.
      }
    }
  };
  // A large value or raw bytes handed over as a memory file: the web process parked it, parsed
  // or as an ArrayBuffer, just before this batch arrived. Taken once.
  function readValue(token) {
    var parked = window.__VESSA_PARKED;
    if (!parked || !Object.prototype.hasOwnProperty.call(parked, token)) {
      throw new Error('value unavailable');
    }
    var value = parked[token];
    delete parked[token];
    // Bytes arrive as their base64 text.
    return token.charAt(0) === 'x' ? base64ToBuffer(value) : value;
  }
})();
