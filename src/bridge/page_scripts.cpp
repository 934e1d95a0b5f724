// Script texts the web view host runs in the page.
#include "bridge/page_scripts.hpp"

namespace vessa::bridge::page_scripts {

std::string ipc_shim_script(std::string_view page_key) {
  static constexpr std::string_view kPlaceholder = "__VESSA_PAGE_KEY__";
  std::string script(embedded::kIpcShimSource);
  if (auto at = script.find(kPlaceholder); at != std::string::npos) {
    script.replace(at, kPlaceholder.size(), page_key);
  }
  return script;
}

const std::string_view kPageLoadedProbe = R"JS((function () {
  var t = window.__TAURI_INTERNALS__;
  var root = document.getElementById('root');
  return JSON.stringify({
    shim: !!t,
    isTauriInternals: !!t && typeof t.invoke === 'function',
    title: document.title,
    rootChildren: root ? root.children.length : 0,
    url: String(window.location.href)
  });
})())JS";

const std::string_view kSelfTestBody = R"JS(const invoke = window.__TAURI_INTERNALS__.invoke;
const out = {};
out.ping = await invoke('__ping', {});
await invoke('plugin:store|set', { path: 'selftest.json', key: 'k', value: 'v42' });
await invoke('plugin:store|save', { path: 'selftest.json' });
out.storeGet = await invoke('plugin:store|get', { path: 'selftest.json', key: 'k' });
out.notifPerm = await invoke('plugin:notification|is_permission_granted', {});
out.cli = await invoke('cli_detect', {});
const probes = [
  ['git', 'git_detect_tools', {}],
  ['fs', 'read_obsidian_vault', { path: '/nonexistent-selftest' }],
  ['agent', 'list_running_agents', {}],
  ['convex', 'convex_status', {}],
  ['device', 'get_device_identity', {}],
  ['taskwright', 'taskwright_status', {}],
  ['radaro', 'taskwright_storage_info', {}],
  ['skyvern', 'skyvern_status', {}]
];
for (const [member, cmd, args] of probes) {
  try {
    out[member] = { ok: true, cmd: cmd, value: await invoke(cmd, args) };
  } catch (e) {
    out[member] = { ok: false, cmd: cmd, error: String(e) };
  }
}
return JSON.stringify(out);)JS";

}  // namespace vessa::bridge::page_scripts
