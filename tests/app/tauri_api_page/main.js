// Test front end built from the unmodified @tauri-apps/api 2.x package: invoke, listen, once,
// emit and unlisten as that package documents them; it reports through config_set.
import { invoke } from '@tauri-apps/api/core';
import { emit, listen, once } from '@tauri-apps/api/event';

async function run() {
  const r = {};
  await invoke('config_set', { key: 'probe', value: [1, 'two'] });
  r.roundTrip = await invoke('config_get', { key: 'probe' });

  const got = [];
  const unlisten = await listen('demo', (e) => got.push(['listen', e.payload, e.event]));
  await once('demo', (e) => got.push(['once', e.payload]));
  await emit('demo', 1);
  await emit('demo', 2);
  await unlisten();
  await emit('demo', 3);
  r.events = got;

  await invoke('config_set', { key: 'tauri', value: r });
}

run().catch((e) => invoke('config_set', { key: 'tauri', value: { error: String((e && e.stack) || e) } }));
