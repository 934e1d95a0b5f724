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

// Order, throwing listeners, wrapped globals and parked answers and events are proven in the real
// engine; channel messages and a parked value asked for twice only here.
test('a batch calls channels and takes each parked value once', async () => {
  const { window, t } = page();
  const [p1, p2] = [t.invoke('a'), t.invoke('b')];
  const got = [];
  const channel = t.transformCallback((m) => got.push(m));
  window.__VESSA_PARKED = { tok1: { big: 'x' }, tok3: 'parked' };
  window.__VESSA_BATCH([
    [1, true, null, 'tok1'],
    [null, channel, { index: 0, message: 'm' }],
    [null, channel, null, 'tok3'],
    [2, true, null, 'tok1'] // taken already
  ]);
  assert.deepEqual(await p1, { big: 'x' });
  await assert.rejects(p2, (r) => r === 'the result could not be delivered');
  assert.deepEqual(got, [{ index: 0, message: 'm' }, 'parked']);
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

// Listening through plugin:event and the event API is proven in the real engine; a listener
// added while an event is delivered only here.
test('a listener added during delivery hears only the next event', async () => {
  const { window, t, posted } = page();
  const seen = [];
  const h1 = t.transformCallback((e) => {
    seen.push(['h1', e.payload]);
    t.invoke('plugin:event|listen', { event: 'tick', handler: t.transformCallback((e2) => seen.push(['late', e2.payload])) });
  });
  const eid = await t.invoke('plugin:event|listen', { event: 'tick', handler: h1 });
  window.__VESSA_EMIT('tick', 1);
  assert.deepEqual(seen, [['h1', 1]]);
  await t.invoke('plugin:event|unlisten', { event: 'tick', eventId: eid });
  window.__VESSA_EMIT('tick', 2);
  assert.deepEqual(seen, [['h1', 1], ['late', 2]]);
  assert.equal(posted.length, 0, 'listen and unlisten post nothing');
});

// Removing callbacks and listener records is proven with the real @tauri-apps/api package.
test('once callbacks run once, others every time; unknown ids do nothing', () => {
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

// Emitting to the page's own listeners is proven with the real package; emit_to the same.
test('direct listeners: each unlisten removes only its own wrapper', async () => {
  const { window, t } = page();
  const got = [];
  const h = (e) => got.push(e.payload);
  const un1 = await t.event.listen('e', h);
  await t.event.listen('e', h);
  un1();
  window.__VESSA_EMIT('e', 1);
  await t.invoke('plugin:event|emit_to', { target: 'other', event: 'e', payload: 2 });
  assert.deepEqual(got, [1, 2]);
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
