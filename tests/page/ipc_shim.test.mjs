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

// What the real engine cannot show: calls of one turn leave in one post, falsy arguments post
// {}, and callbacks and listeners get their own ids from 1 without posting anything.
test('calls of one turn leave together after it; callback and listen ids are local', async () => {
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

// The shell always fails with a string (proven in the real engine); anything else it might pass.
test('rejection reasons that are not strings', async () => {
  const cases = [
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

test('callbacks: removed ones are skipped, once ones run once; listener records go by id', async () => {
  const { window, t } = page();
  const got = [];
  const a = t.transformCallback(() => got.push('a'));
  const b = t.transformCallback((e) => got.push(['b', e.id]));
  await t.invoke('plugin:event|listen', { event: 'x', handler: a });
  const e1 = await t.invoke('plugin:event|listen', { event: 'x', handler: b });
  const e2 = await t.invoke('plugin:event|listen', { event: 'x', handler: b });
  t.unregisterCallback(a);
  window.__TAURI_EVENT_PLUGIN_INTERNALS__.unregisterListener('x', e1);
  window.__TAURI_EVENT_PLUGIN_INTERNALS__.unregisterListener('nope', e2);
  window.__VESSA_EMIT('x', null);
  assert.deepEqual(got, [['b', e2]]);
  got.length = 0;
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
