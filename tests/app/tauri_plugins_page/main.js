// Test front end built from the unmodified @tauri-apps plug-in packages; the configuration key
// plugins_scenario chooses what it does. By default the first load writes two stores and
// exercises path, os, clipboard, log and app, and a later load reads the stores back; "window"
// drives the window module and the window-state plug-in; "dialogs" the dialogs, notifications
// and a channel. Each load reports through config_set.
import { invoke, isTauri } from '@tauri-apps/api/core';
import { ask, confirm, message, open, save } from '@tauri-apps/plugin-dialog';
import {
  isPermissionGranted, onNotificationReceived, requestPermission, sendNotification
} from '@tauri-apps/plugin-notification';
import { getIdentifier } from '@tauri-apps/api/app';
import { appDataDir, basename, join } from '@tauri-apps/api/path';
import { LogicalSize, PhysicalSize, getCurrentWindow } from '@tauri-apps/api/window';
import { StateFlags, filename, restoreStateCurrent, saveWindowState } from '@tauri-apps/plugin-window-state';
import { LazyStore, load } from '@tauri-apps/plugin-store';
import * as os from '@tauri-apps/plugin-os';
import { clear, readText, writeHtml, writeText } from '@tauri-apps/plugin-clipboard-manager';
import { info } from '@tauri-apps/plugin-log';
import { openUrl } from '@tauri-apps/plugin-opener';

const VALUES = { nul: null, yes: true, int: -7, real: 2.5, text: 'é\u2028"', list: [1, 'two', null], obj: { k: { deep: false } } };
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function firstLoad() {
  const r = {};
  r.isTauri = isTauri();
  const a = await load('a.json', { autoSave: 50 });
  const changes = [];
  await a.onChange((key, value) => changes.push([key, value === undefined ? 'undefined' : value]));
  for (const [k, v] of Object.entries(VALUES)) await a.set(k, v);
  await a.delete('int');
  await a.set('int', -7);
  r.missing = (await a.get('absent')) === undefined;
  r.nullKept = (await a.get('nul')) === null && (await a.has('nul'));
  const b = await load('prefs/b.json', { defaults: { theme: 'light', size: 1 }, autoSave: false });
  await b.set('theme', 'dark');
  await b.save();
  await sleep(300); // a's auto-save and its change events
  r.changes = changes;
  r.paths = [await appDataDir(), await join('/x', 'y', '..', 'z.txt'), await basename('/x/z.txt', '.txt')];
  r.os = [os.platform(), os.family(), os.type(), os.arch(), os.eol(), os.exeExtension(), typeof os.version(), await os.hostname()];
  r.identifier = await getIdentifier();
  await writeText('clip ✓ 1');
  r.clipText = await readText();
  await writeHtml('<b>bold</b>', 'bold');
  r.clipHtmlAlt = await readText();
  await clear();
  r.clipCleared = await readText().then((t) => 'still: ' + t, (e) => String(e));
  await info('page says hi');
  await openUrl('https://example.invalid/vessa');
  return r;
}

async function afterRestart() {
  const r = {};
  const a = await load('a.json');
  r.entries = Object.fromEntries(await a.entries());
  const b = new LazyStore('prefs/b.json', { defaults: { theme: 'light', size: 1 } });
  r.theme = await b.get('theme');
  r.size = await b.get('size');
  return r;
}

// Sizes, the resize event, the state file, and a close request refused once, then let through.
async function windowScenario() {
  const w = getCurrentWindow();
  const r = {};
  let want = null; // the size the next step waits for
  await w.onResized(({ payload }) => {
    r.resizeType = payload.type;
    if (want && payload.width === want.width && payload.height === want.height) want.resolve();
  });
  // Runs `step` and waits for the resize event to width x height.
  const resizing = (width, height, step) => {
    const resized = new Promise((resolve, reject) => {
      want = { width, height, resolve };
      setTimeout(() => reject(new Error(`no resize to ${width}x${height}`)), 10000);
    });
    return step().then(() => resized);
  };
  await resizing(640, 480, () => w.setSize(new PhysicalSize(640, 480)));
  const inner = await w.innerSize();
  r.inner = [inner.type, inner.width, inner.height];
  r.file = await filename();
  await saveWindowState(StateFlags.ALL);
  await resizing(700, 500, () => w.setSize(new LogicalSize(700, 500)));
  await resizing(640, 480, () => restoreStateCurrent(StateFlags.SIZE));
  r.restored = true;
  let asked = 0;
  await w.onCloseRequested(async (event) => {
    asked += 1;
    if (asked === 1) event.preventDefault();
    await invoke('config_set', { key: 'windowCloses', value: asked });
  });
  // The shell hears of the listener on the main thread, after this promise settles: a window
  // call, answered there in order, shows it has, before the test starts closing.
  await w.isVisible();
  return r;
}

async function dialogs() {
  const r = {};
  const filters = [{ name: 'Text', extensions: ['txt', 'md'] }];
  r.open = await open({ directory: true, multiple: true, title: 'Pick', filters, defaultPath: '/srv' });
  r.save = await save({ title: 'Save as', filters, defaultPath: '/tmp/out.txt' });
  r.ask = await ask('Sure?', { title: 'Q', kind: 'warning' });
  r.confirm = await confirm('Go?');
  r.custom = await confirm('Go?', { okLabel: 'Do it', cancelLabel: 'Stop' });
  r.message = await message('Hi', 'T');
  r.permission = [await isPermissionGranted(), await requestPermission(), Notification.permission];
  // Shown notifications come back through a Channel, in order; unregistering ends it.
  const got = [];
  const listener = await onNotificationReceived((n) => got.push(n));
  sendNotification({ title: 'Build', body: 'done ✓' });
  new Notification('Second', { body: 'two' });
  for (let i = 0; i < 200 && got.length < 2; i++) await sleep(50);
  await listener.unregister();
  await sleep(100);
  // An ended channel has let go of its callback: a stray message reaches nobody.
  window.__TAURI_INTERNALS__.runCallback(listener.channelId, { index: 2, message: 'stray' });
  r.received = got;
  return r;
}

// Runs `scenario` and stores what it returns, or its error, under `key`.
const run = (key, scenario) =>
  scenario()
    .catch((e) => ({ error: String((e && e.stack) || e) }))
    .then((value) => invoke('config_set', { key, value }));

invoke('config_get', { key: 'plugins_scenario' }).then(async (scenario) => {
  if (scenario === 'window') return run('window1', windowScenario);
  if (scenario === 'dialogs') return run('dialogs', dialogs);
  const restarted = (await invoke('config_get', { key: 'plugins1' })) !== null;
  return restarted ? run('plugins2', afterRestart) : run('plugins1', firstLoad);
});
