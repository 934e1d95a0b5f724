// The page-side IPC shim on its own, with a fake window and message handler.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';

const KEY = '__VESSA_PAGE_KEY__';
const source = readFileSync(`${process.env.VESSA_SOURCE_DIR}/src/bridge/ipc_shim.js`, 'utf8');
// Runs the shim as the page would, with `window` as its only outside name.
const install = (window) => new Function('window', source)(window);

function page(preset = {}) {
  const posted = [];
  const batches = [];
  const window = {
    // Messages travel as one JSON string, several of one turn led each by U+001E; the fake
    // keeps their parsed form. Every post starts with the page key the shell puts into the script.
    webkit: { messageHandlers: { vessa: { postMessage: (m) => {
      assert.equal(typeof m, 'string');
      assert.ok(m.startsWith(KEY), m);
      const text = m.slice(KEY.length);
      const texts = text.startsWith('\u001e') ? text.slice(1).split('\u001e') : [text];
      if (texts.length > 1) batches.push(texts.length);
      for (const one of texts) posted.push(JSON.parse(one));
    } } } },
    ...preset,
  };
  install(window);
  return { window, posted, batches, t: window.__TAURI_INTERNALS__ };
}

const flush = () => new Promise((r) => setImmediate(r));

test('ids start at 1 for requests, callbacks and listeners and never repeat; falsy args post {}', async () => {
  const { t, posted, batches } = page();
  t.invoke('a');
  t.invoke('b', { x: 1 });
  t.invoke('c', null);
  t.invoke('d', 0);
  assert.equal(posted.length, 0, 'calls of one turn leave after it');
  await flush();
  assert.deepEqual(batches, [4], 'together');
  assert.deepEqual(posted, [
    { type: 'invoke', reqId: 1, cmd: 'a', args: {} },
    { type: 'invoke', reqId: 2, cmd: 'b', args: { x: 1 } },
    { type: 'invoke', reqId: 3, cmd: 'c', args: {} },
    { type: 'invoke', reqId: 4, cmd: 'd', args: {} },
  ]);
  assert.equal(t.transformCallback(() => {}), 1);
  assert.equal(t.transformCallback(() => {}), 2);
  assert.equal(await t.invoke('plugin:event|listen', { event: 'e', handler: 1 }), 1);
  assert.equal(await t.invoke('plugin:event|listen', { event: 'e', handler: 2 }), 2);
  assert.equal(posted.length, 4, 'listen posts nothing');
});

test('answers settle the matching promise once; unknown ids are ignored', async () => {
  const { window, t } = page();
  const p = t.invoke('__ping');
  window.__VESSA_RESOLVE(99, true, 'stray');
  window.__VESSA_RESOLVE(1, true, { ok: true });
  window.__VESSA_RESOLVE(1, false, 'late');
  assert.deepEqual(await p, { ok: true });
});

test('rejection reasons', async () => {
  const cases = [
    ['a "quoted" it\'s \\ \n line', 'a "quoted" it\'s \\ \n line'],
    [{ message: 'from object' }, 'from object'],
    [{ message: '' }, 'error'],
    [null, 'error'],
    [42, 'error'],
  ];
  for (const [data, expected] of cases) {
    const { window, t } = page();
    const p = t.invoke('cmd');
    window.__VESSA_RESOLVE(1, false, data);
    await assert.rejects(p, (reason) => reason === expected, JSON.stringify(data));
  }
});

test('a message the handler cannot take rejects and leaves nothing pending', async () => {
  const { window, t } = page({
    webkit: { messageHandlers: { vessa: { postMessage: () => { throw new Error('DataCloneError'); } } } },
  });
  // Both calls of the turn fail with the post that carried them.
  const both = [t.invoke('x', { a: 1 }), t.invoke('y')];
  for (const call of both) await assert.rejects(call, /DataCloneError/);
  window.__VESSA_RESOLVE(1, true, 'ignored'); // must not throw
});

test('arguments JSON cannot carry reject before anything is posted', async () => {
  const { t, posted } = page();
  const cyclic = {};
  cyclic.self = cyclic;
  await assert.rejects(t.invoke('x', cyclic), TypeError);
  await assert.rejects(t.invoke('y', { n: 1n }), TypeError);
  await assert.rejects(t.event.emit('e', cyclic), TypeError);
  assert.equal(posted.length, 0);
  // The next request still gets the next id.
  t.invoke('z');
  await flush();
  assert.deepEqual(posted, [{ type: 'invoke', reqId: 3, cmd: 'z', args: {} }]);
});

test("the app page's own posts to the handler carry the key too, as string or object", () => {
  const { window, t, posted } = page();
  const message = { type: 'invoke', reqId: 9, cmd: 'c', args: {} };
  t.invoke('first');
  // Posted at once, after what the shim had queued.
  window.webkit.messageHandlers.vessa.postMessage(message);
  window.webkit.messageHandlers.vessa.postMessage(JSON.stringify(message));
  assert.deepEqual(posted, [{ type: 'invoke', reqId: 1, cmd: 'first', args: {} }, message, message]);
});

test('a page that replaces JSON.stringify still posts real messages', async () => {
  const saved = JSON.stringify;
  try {
    const { t, posted } = page();
    JSON.stringify = () => 'garbage';
    t.invoke('a', { k: 'v' });
    await flush();
    assert.deepEqual(posted, [{ type: 'invoke', reqId: 1, cmd: 'a', args: { k: 'v' } }]);
  } finally {
    JSON.stringify = saved;
  }
});

test('a batch acts exactly like its calls one by one, parked values taken once', async () => {
  const { window, t } = page();
  const p1 = t.invoke('a');
  const p2 = t.invoke('b');
  const p3 = t.invoke('c');
  const p4 = t.invoke('d');
  const p5 = t.invoke('e');
  const got = [];
  await t.event.listen('e', (e) => got.push(e.payload));
  await t.event.listen('boom', () => { throw new Error('listener fault'); });
  const channel = t.transformCallback((m) => got.push(m));
  window.__VESSA_PARKED = { tok1: { big: 'x'.repeat(10) }, tok2: [3, 4], tok3: 'parked' };
  // A page that wraps the globals sees every delivery of a batch.
  const seen = [];
  const original = window.__VESSA_RESOLVE;
  window.__VESSA_RESOLVE = (id, ok, data) => { seen.push(id); original(id, ok, data); };
  window.__VESSA_BATCH([
    ['e', [1, 2]],
    [1, true, { u: '\u2028' }],
    ['boom', null],
    [2, false, 'no "way"'],
    [3, false, { message: 'm' }],
    [1, false, 'late'], // settled already
    [77, true, 'unknown'],
    [4, true, null, 'tok1'],
    ['e', null, 'tok2'],
    [null, channel, { index: 0, message: 'm' }],
    [null, channel, null, 'tok3'],
    [5, true, null, 'tok1'] // taken already
  ]);
  assert.deepEqual(await p1, { u: '\u2028' });
  await assert.rejects(p2, (r) => r === 'no "way"');
  await assert.rejects(p3, (r) => r === 'm');
  assert.deepEqual(await p4, { big: 'xxxxxxxxxx' });
  await assert.rejects(p5, (r) => r === 'the result could not be delivered');
  assert.deepEqual(got, [[1, 2], [3, 4], { index: 0, message: 'm' }, 'parked']);
  assert.deepEqual(seen, [1, 2, 3, 1, 77, 4, 5]);
  assert.deepEqual(Object.keys(window.__VESSA_PARKED), []);
});

// Engines without Uint8Array base64 methods: bytes still cross as base64 (btoa/atob), in chunks
// larger than one fromCharCode call takes, every byte value intact both ways.
test('bytes cross the byte channel as base64 both ways, also without the engine methods', async () => {
  const saved = [Uint8Array.prototype.toBase64, Uint8Array.fromBase64];
  Uint8Array.prototype.toBase64 = undefined;
  Uint8Array.fromBase64 = undefined;
  const sent = [];
  let shim;
  try {
    shim = page({
      btoa: globalThis.btoa,
      atob: globalThis.atob,
      __VESSA_SEND: (text, payload, raw) => { sent.push({ text, payload, raw }); return true; },
    });
  } finally {
    [Uint8Array.prototype.toBase64, Uint8Array.fromBase64] = saved;
  }
  const { window, t } = shim;
  const all = Uint8Array.from({ length: 70001 }, (_, i) => (i * 7 + 3) & 255);
  const answer = t.invoke('echo', all.subarray(1), { headers: { 'X-A': 'b' } });
  assert.equal(sent.length, 1);
  assert.equal(sent[0].raw, true);
  assert.deepEqual(Buffer.from(sent[0].payload, 'base64'), Buffer.from(all.subarray(1)));
  const message = JSON.parse(sent[0].text.slice(KEY.length));
  assert.equal(message.body, 'bytes');
  assert.deepEqual(message.headers, { 'x-a': 'b' });
  window.__VESSA_PARKED = { xtok: Buffer.from(all).toString('base64') };
  window.__VESSA_BATCH([[message.reqId, true, null, 'xtok']]);
  const got = await answer;
  assert.ok(got instanceof ArrayBuffer);
  assert.deepEqual(new Uint8Array(got), all);
});

test('event listen/unlisten through plugin:event and snapshot delivery', async () => {
  const { window, t, posted } = page();
  const seen = [];
  let lateId;
  const h1 = t.transformCallback((e) => {
    seen.push(['h1', e]);
    // Added during delivery: only sees the next event.
    lateId = t.transformCallback((e2) => seen.push(['late', e2.payload]));
    t.invoke('plugin:event|listen', { event: 'tick', handler: lateId });
  });
  const eid = await t.invoke('plugin:event|listen', { event: 'tick', handler: h1 });
  const direct = [];
  const un = await t.event.listen('tick', (e) => direct.push(e));
  window.__VESSA_EMIT('tick', { n: 1 });
  assert.deepEqual(seen, [['h1', { event: 'tick', id: eid, payload: { n: 1 } }]]);
  assert.deepEqual(direct, [{ event: 'tick', payload: { n: 1 } }]);

  await t.invoke('plugin:event|unlisten', { event: 'tick', eventId: eid });
  un();
  seen.length = 0;
  window.__VESSA_EMIT('tick', 2);
  assert.deepEqual(seen, [['late', 2]]);
  assert.equal(direct.length, 1);
  assert.equal(posted.length, 0);
});

test('a listener whose callback is gone is skipped; unregisterCallback removes it', async () => {
  const { window, t } = page();
  const got = [];
  const a = t.transformCallback(() => got.push('a'));
  const b = t.transformCallback(() => got.push('b'));
  await t.invoke('plugin:event|listen', { event: 'x', handler: a });
  await t.invoke('plugin:event|listen', { event: 'x', handler: b });
  t.unregisterCallback(a);
  window.__VESSA_EMIT('x', null);
  assert.deepEqual(got, ['b']);
});

test('plugin:event|emit delivers locally first, then posts; emit_to ignores the target', async () => {
  const { t, posted } = page();
  const order = [];
  await t.event.listen('hello', (e) => order.push(['local', e.payload, posted.length]));
  await t.invoke('plugin:event|emit', { event: 'hello', payload: 1 });
  await t.invoke('plugin:event|emit_to', { target: 'other', event: 'hello', payload: 2 });
  await t.event.emit('hello', 3);
  assert.deepEqual(order, [['local', 1, 0], ['local', 2, 1], ['local', 3, 2]]);
  assert.deepEqual(posted[0], { type: 'emit', event: 'hello', payload: 1 });
  assert.equal(posted.length, 3);
});

test('direct listeners: each unlisten removes only its own wrapper; once keeps listening', async () => {
  const { window, t } = page();
  const got = [];
  const h = (e) => got.push(e.payload);
  const un1 = await t.event.listen('e', h);
  await t.event.listen('e', h);
  const unOnce = await t.event.once('e', (e) => got.push('once:' + e.payload));
  un1();
  window.__VESSA_EMIT('e', 1);
  window.__VESSA_EMIT('e', 2);
  unOnce();
  window.__VESSA_EMIT('e', 3);
  assert.deepEqual(got, [1, 'once:1', 2, 'once:2', 3]);
});

test('callbacks: __VESSA_CB passes the bare payload and drops once callbacks; runCallback too', () => {
  const { window, t } = page();
  const got = [];
  const keep = t.transformCallback((p) => got.push(['keep', p]));
  const one = t.transformCallback((p) => got.push(['one', p]), 1);
  const nothing = t.transformCallback(null);
  window.__VESSA_CB(one, 'a');
  window.__VESSA_CB(one, 'b');
  t.runCallback(keep, 'c');
  t.runCallback(keep, 'd');
  window.__VESSA_CB(nothing, 'e');
  window.__VESSA_CB(1234, 'f');
  assert.deepEqual(got, [['one', 'a'], ['keep', 'c'], ['keep', 'd']]);
});

test('the event-plugin internals remove the listener record with that id', async () => {
  const { window, t } = page();
  const got = [];
  const cb = t.transformCallback((e) => got.push(e.id));
  const e1 = await t.invoke('plugin:event|listen', { event: 'x', handler: cb });
  const e2 = await t.invoke('plugin:event|listen', { event: 'x', handler: cb });
  window.__TAURI_EVENT_PLUGIN_INTERNALS__.unregisterListener('x', e1);
  window.__TAURI_EVENT_PLUGIN_INTERNALS__.unregisterListener('nope', e2);
  window.__VESSA_EMIT('x', 0);
  assert.deepEqual(got, [e2]);
});

test('globals: metadata, convertFileSrc, path plugin, __TAURI__', () => {
  const { window, t } = page();
  assert.equal(t.metadata.currentWindow.label, 'main');
  assert.equal(t.metadata.currentWebview.label, 'main');
  assert.equal(t.convertFileSrc('/a b/c.png'), '/a b/c.png');
  assert.deepEqual({ ...t.plugins.path }, { sep: '/', delimiter: ':' });
  assert.equal(window.__TAURI__.core.invoke, t.invoke);
  assert.equal(window.__TAURI__.core.transformCallback, t.transformCallback);
  assert.equal(window.__TAURI__.event, t.event);
});

test("what the page has stays: its own __TAURI__, and an installed shim on a second run", () => {
  const own = { mine: true };
  const mine = page({ __TAURI__: own });
  assert.equal(mine.window.__TAURI__, own);
  assert.equal(typeof mine.window.__TAURI_INTERNALS__.invoke, 'function');
  const existing = { invoke() {} };
  const { window } = page({ __TAURI_INTERNALS__: existing });
  assert.equal(window.__TAURI_INTERNALS__, existing);
  for (const name of ['__VESSA_RESOLVE', '__VESSA_EMIT', '__VESSA_CB', '__VESSA_BATCH', '__TAURI__',
    '__TAURI_EVENT_PLUGIN_INTERNALS__']) {
    assert.equal(window[name], undefined, name);
  }
  // Injected twice into the same page: the first installation stays.
  const first = page();
  const before = first.window.__VESSA_RESOLVE;
  install(first.window);
  assert.equal(first.window.__VESSA_RESOLVE, before);
});

test('a listener that throws stops delivery of that event to later listeners', async () => {
  const { window, t } = page();
  const got = [];
  await t.event.listen('e', () => { throw new Error('boom'); });
  await t.event.listen('e', () => got.push('after'));
  assert.throws(() => window.__VESSA_EMIT('e', 1), /boom/);
  assert.deepEqual(got, []);
  await flush();
});

test('the shell hears when close-requested listeners come and go, and whom a request reached', async () => {
  const { window, t, posted } = page();
  const told = () => posted.filter((m) => m.cmd.startsWith('plugin:window|internal_close_'))
    .map((m) => [m.cmd.slice('plugin:window|internal_close_'.length), m.args]);
  const E = 'tauri://close-requested';
  const got = [];
  const a = await t.invoke('plugin:event|listen', { event: E, handler: t.transformCallback(() => got.push('a')) });
  const b = await t.invoke('plugin:event|listen', { event: E, handler: t.transformCallback(() => { throw new Error('listener fault'); }) });
  await t.invoke('plugin:event|listen', { event: 'other', handler: t.transformCallback(() => {}) });
  // A throwing listener still lets the shell hear the count.
  assert.throws(() => window.__VESSA_EMIT(E, null), /listener fault/);
  await t.invoke('plugin:event|unlisten', { event: E, eventId: a });
  window.__TAURI_EVENT_PLUGIN_INTERNALS__.unregisterListener(E, b);
  window.__VESSA_EMIT(E, null);
  assert.deepEqual(got, ['a']);
  await flush();
  assert.deepEqual(told(), [['listened', { value: true }], ['delivered', { listeners: 2 }],
    ['listened', { value: false }], ['delivered', { listeners: 0 }]]);
});
