// The demo console: every command family with its commands, editable JSON arguments, results
// and failures, and every event as it arrives. Written against window.__TAURI_INTERNALS__.
(function () {
  'use strict';
  var FAMILIES = [
    ['Built-ins', [
      ['__ping', {}],
      ['config_get', { key: 'deviceName' }],
      ['config_set', { key: 'deviceName', value: 'My laptop' }]]],
    ['Store plug-in', [
      ['plugin:store|load', { path: 'demo.json' }],
      ['plugin:store|get', { path: 'demo.json', key: 'k' }],
      ['plugin:store|set', { path: 'demo.json', key: 'k', value: 'v' }],
      ['plugin:store|has', { path: 'demo.json', key: 'k' }],
      ['plugin:store|delete', { path: 'demo.json', key: 'k' }],
      ['plugin:store|keys', { path: 'demo.json' }],
      ['plugin:store|values', { path: 'demo.json' }],
      ['plugin:store|entries', { path: 'demo.json' }],
      ['plugin:store|length', { path: 'demo.json' }],
      ['plugin:store|save', { path: 'demo.json' }],
      ['plugin:store|clear', { path: 'demo.json' }],
      ['plugin:store|reload', { path: 'demo.json' }]]],
    ['Application and updater', [
      ['plugin:app|version', {}],
      ['plugin:app|name', {}],
      ['plugin:app|tauri_version', {}],
      ['plugin:updater|check', {}],
      ['vessa|check_update', {}],
      ['plugin:process|relaunch', {}]]],
    ['Notifications', [
      ['plugin:notification|is_permission_granted', {}],
      ['plugin:notification|request_permission', {}],
      ['plugin:notification|permission_state', {}],
      ['plugin:notification|notify', { title: 'Vessa', body: 'Hello from the console', sound: true }]]],
    ['Window', [
      ['plugin:window|is_maximized', {}],
      ['plugin:window|maximize', {}],
      ['plugin:window|unmaximize', {}],
      ['plugin:window|set_maximized', { value: true }],
      ['plugin:window|minimize', {}],
      ['plugin:window|set_title', { title: 'Vessa' }],
      ['plugin:window|theme', {}],
      ['plugin:window|start_dragging', {}],
      ['plugin:window|close', {}]]],
    ['Dialogs, shell and preview', [
      ['open_folder_dialog', { multiple: false }],
      ['plugin:dialog|open', { directory: false, multiple: true }],
      ['plugin:shell|open', { url: 'https://example.com' }],
      ['preview_open', { url: 'http://127.0.0.1:5173/', title: 'Preview' }]]],
    ['Repositories', [
      ['git_detect_tools', {}],
      ['git_scan_repos', { maxRepos: 80, extraRoots: [] }],
      ['find_local_repo', { slug: 'owner/repo' }]]],
    ['Git', [
      ['git_clone', { url: 'https://github.com/owner/repo.git', path: '/tmp/repo', branch: '' }],
      ['git_pull', { path: '/tmp/repo' }],
      ['git_status', { path: '/tmp/repo' }],
      ['git_create_branch', { path: '/tmp/repo', branchName: 'feature' }],
      ['git_checkout', { path: '/tmp/repo', branchName: 'main' }],
      ['git_push', { path: '/tmp/repo', remote: 'origin', branch: '' }]]],
    ['Coding CLIs', [
      ['cli_detect', {}],
      ['cli_login', { command: 'claude auth login' }],
      ['cli_install', { tool: 'claude' }]]],
    ['Device', [['get_device_identity', {}]]],
    ['Obsidian', [['read_obsidian_vault', { path: '/path/to/vault' }]]],
    ['Agents', [
      ['start_agent', { agentId: 'demo', scriptPath: '/path/to/agent.js' }],
      ['stop_agent', { agentId: 'demo' }],
      ['list_running_agents', {}]]],
    ['Executor and Convex', [
      ['executor_ensure', { force: false }],
      ['convex_status', {}],
      ['stop_convex', {}]]],
    ['Taskwright runtime', [
      ['taskwright_status', {}],
      ['taskwright_install', {}],
      ['taskwright_uninstall', {}],
      ['taskwright_reset', {}],
      ['taskwright_exec', { args: ['--version'], opts: { timeout_ms: 30000 } }],
      ['taskwright_storage_info', {}]]],
    ['Skyvern', [
      ['skyvern_status', {}],
      ['skyvern_install', {}],
      ['skyvern_install_docker', {}],
      ['skyvern_start', {}],
      ['skyvern_stop', {}],
      ['skyvern_uninstall', {}]]]
  ];
  var EVENTS = ['executor-status', 'taskwright-status', 'taskwright-install-progress',
    'skyvern-status', 'skyvern-install-progress'];

  var $ = function (id) { return document.getElementById(id); };
  var t = window.__TAURI_INTERNALS__;
  var current = null;
  var eventCounts = {};

  function el(tag, cls, text) {
    var e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }
  function show(value) {
    return value === undefined ? 'undefined' : JSON.stringify(value, null, 2);
  }
  function time() { return new Date().toLocaleTimeString(); }

  function buildNav() {
    var nav = $('families');
    FAMILIES.forEach(function (family, fi) {
      var d = el('details');
      d.open = fi < 2;
      d.appendChild(el('summary', '', family[0] + ' (' + family[1].length + ')'));
      family[1].forEach(function (entry) {
        var b = el('button', '', entry[0]);
        b.dataset.cmd = entry[0];
        b.addEventListener('click', function () { select(entry, b); });
        d.appendChild(b);
      });
      nav.appendChild(d);
    });
  }

  function select(entry, button) {
    current = entry[0];
    Array.prototype.forEach.call(document.querySelectorAll('nav button.active'), function (b) {
      b.classList.remove('active');
    });
    button.classList.add('active');
    $('cmd-name').textContent = entry[0];
    $('cmd-note').textContent = 'Edit the arguments, then Invoke (Ctrl+Enter).';
    $('cmd-args').value = JSON.stringify(entry[1], null, 2);
    $('run').disabled = !t;
    $('args-error').textContent = '';
  }

  function addResult(cmd, args, ok, value, ms) {
    var li = el('li', ok ? 'ok' : 'bad');
    li.appendChild(el('div', 'head', time() + ' · ' + cmd + ' ' + JSON.stringify(args) + ' · ' +
      (ok ? 'ok' : 'failed') + ' · ' + ms + ' ms'));
    li.appendChild(el('pre', '', ok ? show(value) : String(value)));
    $('results').insertBefore(li, $('results').firstChild);
  }

  function run() {
    if (!current || !t) return;
    var args;
    try {
      args = JSON.parse($('cmd-args').value || '{}');
      if (args === null || typeof args !== 'object' || Array.isArray(args)) {
        throw new Error('arguments must be a JSON object');
      }
    } catch (e) {
      $('args-error').textContent = String(e.message || e);
      return;
    }
    $('args-error').textContent = '';
    var cmd = current;
    var started = performance.now();
    t.invoke(cmd, args).then(function (value) {
      addResult(cmd, args, true, value, Math.round(performance.now() - started));
    }, function (reason) {
      addResult(cmd, args, false, reason, Math.round(performance.now() - started));
    });
  }

  function onEvent(e) {
    eventCounts[e.event] = (eventCounts[e.event] || 0) + 1;
    var count = document.querySelector('#event-names li[data-event="' + e.event + '"] .count');
    if (count) count.textContent = eventCounts[e.event];
    var li = el('li');
    li.appendChild(el('div', 'head', time() + ' · ' + e.event));
    li.appendChild(el('pre', '', show(e.payload)));
    var log = $('event-log');
    log.insertBefore(li, log.firstChild);
    while (log.children.length > 300) log.removeChild(log.lastChild);
  }

  function listenAll() {
    EVENTS.forEach(function (name) {
      var li = el('li');
      li.dataset.event = name;
      li.appendChild(document.createTextNode(name));
      li.appendChild(el('span', 'count', '0'));
      $('event-names').appendChild(li);
      t.event.listen(name, onEvent);
    });
  }

  function filter() {
    var q = $('filter').value.trim().toLowerCase();
    Array.prototype.forEach.call(document.querySelectorAll('nav details'), function (d) {
      var any = false;
      Array.prototype.forEach.call(d.querySelectorAll('button'), function (b) {
        var match = !q || b.dataset.cmd.toLowerCase().indexOf(q) >= 0;
        b.style.display = match ? '' : 'none';
        any = any || match;
      });
      d.style.display = any ? '' : 'none';
      if (q && any) d.open = true;
    });
  }

  buildNav();
  $('run').addEventListener('click', run);
  $('cmd-args').addEventListener('keydown', function (e) {
    if (e.key === 'Enter' && (e.ctrlKey || e.metaKey)) run();
  });
  $('filter').addEventListener('input', filter);
  if (!t) {
    $('shell-state').textContent = 'no shell (open this page in Vessa)';
    $('shell-state').className = 'pill bad';
    return;
  }
  listenAll();
  t.invoke('__ping', {}).then(function (v) {
    $('shell-state').textContent = 'shell: ' + (v && v.shell);
    $('shell-state').className = 'pill ok';
  }, function (e) {
    $('shell-state').textContent = 'ping failed: ' + e;
    $('shell-state').className = 'pill bad';
  });
})();
