// The bridge in the real engine, against the raw transport floor of bare_webkit, in one run.
// Prints a Markdown report (targets, measurements, ratios) to stdout.
//
//   page_transport BARE_WEBKIT_PATH VESSA_BUNDLE_PATH [--quick] [--startup-only]
//
// --startup-only runs only the cold-start and memory comparison (no in-process shell).
//
// Our shell runs in this process: the real WebViewHost, Bridge and CommandRegistry with a test
// page, plus a few bench-only commands installed through the registry's test override. The raw
// floor and the bare program of the start-up comparison run as child processes.
#include <fcntl.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <webkit/webkit.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/web_view_host.hpp"
#include "commands/app_context.hpp"
#include "commands/command_registry.hpp"
#include "executor/executor_supervisor.hpp"
#include "raw_answer.hpp"
#include "support/dispatch.hpp"
#include "support/fs.hpp"
#include "support/glib_ptr.hpp"
#include "support/json.hpp"
#include "support/lines.hpp"
#include "support/subprocess.hpp"

namespace stdfs = std::filesystem;
using vessa::json;
using Clock = std::chrono::steady_clock;

namespace {

double ms_since(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double median(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// "median (min–max)" of `v` with `unit` after each number.
std::string spread(const std::vector<double>& v, const char* unit) {
  if (v.empty()) return "n/a";
  const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
  char buf[128];
  std::snprintf(buf, sizeof buf, "%.1f %s (%.1f–%.1f, n=%zu)", median(v), unit, *lo, *hi, v.size());
  return buf;
}

// The engine's own conversions between its strings and native bytes, timed in a context of the
// same engine in this process: the web-process extension must make one of them to read a page
// string (to_bytes) or to hand text to the page (from_bytes), so they are the floor under any
// hand-over of page strings. `script` makes the string.
struct EngineConversion {
  std::vector<double> to_bytes, from_bytes;
  size_t length = 0;
};
EngineConversion time_engine_conversion(const char* script, int reps) {
  EngineConversion out;
  vessa::GObjectPtr<JSCContext> context(jsc_context_new());
  vessa::GObjectPtr<JSCValue> value(jsc_context_evaluate(context.get(), script, -1));
  if (!jsc_value_is_string(value.get())) {
    std::fprintf(stderr, "engine conversion: the script made no string\n");
    std::exit(1);
  }
  for (int i = 0; i < reps; ++i) {
    auto t0 = Clock::now();
    vessa::GBytesPtr bytes(jsc_value_to_string_as_bytes(value.get()));
    out.to_bytes.push_back(ms_since(t0));
    t0 = Clock::now();
    vessa::GObjectPtr<JSCValue> back(jsc_value_new_string_from_bytes(context.get(), bytes.get()));
    out.from_bytes.push_back(ms_since(t0));
    out.length = g_bytes_get_size(bytes.get());
  }
  return out;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(std::ceil(p * static_cast<double>(v.size()))) - 1;
  return v[std::min(i, v.size() - 1)];
}

void write(const stdfs::path& path, const std::string& text) {
  stdfs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

bool run_until(const std::function<bool()>& done, int timeout_ms) {
  return vessa::dispatch::run_main_until(done, std::chrono::milliseconds(timeout_ms));
}

// Records shaped like the shell's real results (notes, repositories): ids, paths, text with
// quotes, non-ASCII, an emoji, U+2028 and "</script>".
json make_records(size_t target_bytes) {
  json arr = json::array();
  size_t approx = 0;
  for (int i = 0; approx < target_bytes; ++i) {
    json rec = {{"id", i},
                {"title", "Note \"" + std::to_string(i) + "\" \xE2\x80\x94 caf\xC3\xA9"},
                {"path", "/home/user/vault/notes/" + std::to_string(i) + ".md"},
                {"body", std::string(150, 'a') + " \xF0\x9F\x98\x80\t\\</script>\xE2\x80\xA8"},
                {"score", i * 0.5},
                {"tags", {"alpha", "beta"}},
                {"done", i % 2 == 0}};
    approx += vessa::encode_json(rec).size() + 1;
    arr.push_back(std::move(rec));
  }
  return arr;
}

// The page shared by the raw program and the shell: the same loops, over a different `call`.
constexpr const char* kCommonJs = R"JS(
window.bench = {
  async sequential(call, n) {
    for (let i = 0; i < 200; i++) await call();
    const t = [];
    for (let i = 0; i < n; i++) { const a = performance.now(); await call(); t.push(performance.now() - a); }
    return t;
  },
  async inflight(call, rounds, width) {
    for (let i = 0; i < 5; i++) await Promise.all(Array.from({ length: width }, call));
    const a = performance.now();
    for (let r = 0; r < rounds; r++) await Promise.all(Array.from({ length: width }, call));
    return (rounds * width) / ((performance.now() - a) / 1000);
  },
  // Calls the bare handler "raw" answers: posting a number, or the shell's request text (a
  // 32-character key and the JSON).
  rawCalls() {
    const pend = new Map();
    let seq = 1;
    window.__RAW_RESOLVE = (id) => { const r = pend.get(id); if (r) { pend.delete(id); r(); } };
    const post = (m) => webkit.messageHandlers.raw.postMessage(m);
    const key = 'k'.repeat(32);
    return {
      number: () => new Promise((r) => { const id = seq++; pend.set(id, r); post(id); }),
      text: () => new Promise((r) => {
        const id = seq++;
        pend.set(id, r);
        post(key + JSON.stringify({ type: 'invoke', reqId: id, cmd: '__ping' }));
      }),
    };
  }
};
)JS";

constexpr const char* kRawPage = R"HTML(<!doctype html><meta charset="utf-8"><title>raw</title>
<script src="common.js"></script><script>
const { number: call, text: callText } = bench.rawCalls();
const report = (o) => webkit.messageHandlers.raw.postMessage(JSON.stringify(o));
window.addEventListener('load', async () => {
  const out = {};
  webkit.messageHandlers.raw.postMessage('stamps');
  out.seq = await bench.sequential(call, 2000);
  webkit.messageHandlers.raw.postMessage('stamps');
  out.seqText = await bench.sequential(callText, 2000);
  webkit.messageHandlers.raw.postMessage('stamps');
  out.inflight = [];
  for (let i = 0; i < 5; i++) out.inflight.push(await bench.inflight(call, 40, 100));
  const n = 20000;
  let got = 0, done;
  const all = new Promise((r) => (done = r));
  window.__RAW_EVT = () => { if (++got === n) done(); };
  const a = performance.now();
  webkit.messageHandlers.raw.postMessage({ events: n });
  await all;
  out.eventsPerSec = n / ((performance.now() - a) / 1000);
  report(out);
  webkit.messageHandlers.raw.postMessage('quit');
});
</script>)HTML";

// The start-up page: reports when its first contentful paint happened (epoch milliseconds).
constexpr const char* kStartPage = R"HTML(<!doctype html><meta charset="utf-8"><title>start</title>
<body><h1>Vessa start-up</h1><p>First contentful paint.</p><script>
let sent = false;
const report = (at, kind) => {
  if (sent) return;
  sent = true;
  if (window.__TAURI_INTERNALS__) {
    window.__TAURI_INTERNALS__.invoke('config_set', { key: 'fcp', value: at });
  } else {
    webkit.messageHandlers.raw.postMessage(JSON.stringify({ fcp: at, kind }));
  }
};
if ((PerformanceObserver.supportedEntryTypes || []).includes('paint')) {
  new PerformanceObserver((list) => {
    for (const e of list.getEntries()) {
      if (e.name === 'first-contentful-paint') report(performance.timeOrigin + e.startTime, 'fcp');
    }
  }).observe({ type: 'paint', buffered: true });
} else {
  // No paint timing in this engine: the second animation frame after the text exists, i.e.
  // the first frame that has drawn it.
  requestAnimationFrame(() => requestAnimationFrame(() =>
    report(performance.timeOrigin + performance.now(), 'frame')));
}
</script></body>)HTML";

constexpr const char* kShellPage = R"HTML(<!doctype html><meta charset="utf-8"><title>shell</title>
<script src="common.js"></script><body>bench</body>)HTML";

// ---- The shell in this process ----

class BenchApp : public vessa::commands::AppContext {
 public:
  void emit(const std::string& event, const json& payload) override {
    if (auto h = host.lock()) h->bridge()->emit(event, payload);
  }
  std::shared_ptr<vessa::executor::ExecutorSupervisor> executor() override { return nullptr; }
  void quit() override {}
  std::weak_ptr<vessa::app::WebViewHost> host;
};

// Forwards to the web view and counts the main-thread time spent handing scripts over.
// The shell's own evaluator with the main-thread time of every hand-over counted.
class TimingEvaluator : public vessa::bridge::ScriptEvaluator {
 public:
  explicit TimingEvaluator(std::shared_ptr<vessa::bridge::ScriptEvaluator> inner)
      : inner_(std::move(inner)) {}
  void evaluate_script(const std::string& script) override {
    auto t0 = Clock::now();
    if (stamping) eval_stamps.push_back(t0);
    inner_->evaluate_script(script);
    busy_ms += ms_since(t0);
    ++evaluations;
  }
  bool takes_values() const override { return inner_->takes_values(); }
  void hand_value(const std::string& token, int fd) override {
    auto t0 = Clock::now();
    inner_->hand_value(token, fd);
    busy_ms += ms_since(t0);
  }
  void hand_bytes(const std::string& token, int fd, size_t size) override {
    auto t0 = Clock::now();
    inner_->hand_bytes(token, fd, size);
    busy_ms += ms_since(t0);
  }
  double busy_ms = 0;
  int evaluations = 0;
  bool stamping = false;  // eval_stamps taken while set
  std::vector<Clock::time_point> eval_stamps;

 private:
  std::shared_ptr<vessa::bridge::ScriptEvaluator> inner_;
};

struct CallState {
  bool done = false;
  std::string result;
};

// Runs `body` as an async function in the page; the JSON text of its value.
std::string call_page(WebKitWebView* view, const std::string& body, int timeout_ms = 600000) {
  auto* state = new CallState();
  webkit_web_view_call_async_javascript_function(
      view, body.c_str(), -1, nullptr, nullptr, nullptr, nullptr,
      [](GObject* source, GAsyncResult* res, gpointer data) noexcept {
        auto* st = static_cast<CallState*>(data);
        GError* error = nullptr;
        JSCValue* value = webkit_web_view_call_async_javascript_function_finish(
            WEBKIT_WEB_VIEW(source), res, &error);
        if (error) {
          st->result = std::string("\"ERROR: ") + error->message + "\"";
          g_error_free(error);
        } else {
          char* text = value ? jsc_value_to_json(value, 0) : nullptr;
          st->result = text ? text : "null";
          g_free(text);
        }
        if (value) g_object_unref(value);
        st->done = true;
      },
      state);
  if (!run_until([&] { return state->done; }, timeout_ms)) {
    std::fprintf(stderr, "page call timed out\n");
    std::exit(1);
  }
  std::string r = state->result;
  delete state;
  return r;
}

json call_json(WebKitWebView* view, const std::string& body) {
  auto r = vessa::parse_json(call_page(view, body));
  return r ? *r : json(nullptr);
}

struct Report {
  std::vector<std::string> rows;  // Markdown table rows
  std::vector<std::string> notes;
  void row(const std::string& what, const std::string& target, const std::string& measured,
           bool met) {
    rows.push_back("| " + what + " | " + target + " | " + measured + " | " +
                   (met ? "met" : "**missed**") + " |");
    std::fprintf(stderr, "%s\n", rows.back().c_str());
  }
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
std::string fmt(const char* f, double v) {
  char buf[96];
  std::snprintf(buf, sizeof buf, f, v);
  return buf;
}
#pragma GCC diagnostic pop

// ---- Child processes: raw floor, start-up, memory ----

std::optional<json> run_raw_floor(const std::string& bare, const stdfs::path& dir) {
  vessa::proc::Options o;
  o.argv = {bare, "file://" + (dir / "raw.html").string()};
  o.err = vessa::proc::Stdio::null();
  vessa::proc::RunOptions r;
  r.timeout = std::chrono::minutes(5);
  auto out = vessa::proc::run(o, r);
  if (!out) return std::nullopt;
  // Three stamp reports (the first clears earlier messages: numbers, then text requests), then
  // the page's results.
  std::optional<json> result;
  std::vector<std::vector<double>> reports;
  for (const auto& line : vessa::split_lines(out->out)) {
    auto j = vessa::parse_json(line);
    if (!j || !j->is_object()) continue;
    if (j->contains("intervals")) {
      std::vector<double> intervals;
      for (const auto& us : (*j)["intervals"]) intervals.push_back(us.get<double>() / 1000.0);
      // The first 200 are the warm-up.
      if (intervals.size() > 200) reports.emplace_back(intervals.begin() + 200, intervals.end());
    } else {
      result = j;
    }
  }
  if (result && reports.size() == 2) {
    (*result)["native"] = reports[0];
    (*result)["native_text"] = reports[1];
  }
  return result;
}

// Proportional set size of `root` and every process below it, in MB. The executor sidecar (and
// anything below it) is a program of its own, measured by executor_bench: it is summed apart.
// `code_mb` is the part of the root's own that is its program file: the program's code.
struct TreePss {
  double shell_mb = 0;
  double sidecar_mb = 0;
  double code_mb = 0;
};

double program_file_pss_mb(pid_t pid) {
  std::error_code ec;
  const auto exe = stdfs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
  auto text = vessa::fs::read_file("/proc/" + std::to_string(pid) + "/smaps");
  if (ec || !text) return 0;
  double kb = 0;
  bool in_exe = false;
  for (const auto& line : vessa::split_lines(*text)) {
    // A mapping's header line ends in its path; the lines under it are its counters.
    if (line.find('-') < line.find(' ') && std::isxdigit(static_cast<unsigned char>(line[0]))) {
      in_exe = line.ends_with(" " + exe.string());
    } else if (in_exe && line.starts_with("Pss:")) {
      kb += std::strtod(line.c_str() + 4, nullptr);
    }
  }
  return kb / 1024.0;
}

TreePss tree_pss_mb(pid_t root) {
  std::map<pid_t, pid_t> parent;
  std::map<pid_t, std::string> comm;
  for (const auto& e : stdfs::directory_iterator("/proc")) {
    const std::string name = e.path().filename();
    if (name.empty() || !std::isdigit(static_cast<unsigned char>(name[0]))) continue;
    auto text = vessa::fs::read_file((e.path() / "stat").string());
    if (!text) continue;
    auto open = text->find('(');
    auto close = text->rfind(')');
    if (open == std::string::npos || close == std::string::npos || close + 4 > text->size()) {
      continue;
    }
    int ppid = 0;
    if (std::sscanf(text->c_str() + close + 2, "%*c %d", &ppid) != 1) continue;
    parent[std::stoi(name)] = ppid;
    comm[std::stoi(name)] = text->substr(open + 1, close - open - 1);
  }
  std::set<pid_t> tree = {root}, sidecar;
  for (bool grew = true; grew;) {
    grew = false;
    for (const auto& [pid, pp] : parent) {
      if (tree.count(pp) && !tree.count(pid)) grew = tree.insert(pid).second;
      if (tree.count(pid) && !sidecar.count(pid) &&
          (comm[pid] == "vessa-executor" || sidecar.count(pp))) {
        grew = sidecar.insert(pid).second;
      }
    }
  }
  TreePss total;
  std::string who;
  for (pid_t pid : tree) {
    auto text = vessa::fs::read_file("/proc/" + std::to_string(pid) + "/smaps_rollup");
    if (!text) continue;
    auto at = text->find("\nPss:");
    if (at == std::string::npos) continue;
    const double one = std::strtod(text->c_str() + at + 5, nullptr) / 1024.0;
    (sidecar.count(pid) ? total.sidecar_mb : total.shell_mb) += one;
    who += " " + comm[pid] + fmt("=%.1f", one);
  }
  total.code_mb = program_file_pss_mb(root);
  std::fprintf(stderr, "process tree of %d (MB):%s; program file %.1f\n", static_cast<int>(root),
               who.c_str(), total.code_mb);
  return total;
}

double epoch_ms() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

struct StartSample {
  double fcp_ms = NAN;
  double pss_mb = NAN;
  double sidecar_mb = NAN;
  double code_mb = NAN;
};

// Starts a program showing the start page, waits for its paint report, lets it settle, reads
// the memory of its process tree and stops it.
StartSample sample_start(const std::vector<std::string>& argv, const vessa::proc::Environment& env,
                         const std::function<std::optional<double>(vessa::proc::Process&)>& fcp) {
  StartSample s;
  vessa::proc::Options o;
  o.argv = argv;
  o.env = env;
  o.out = vessa::proc::Stdio::pipe();
  o.err = vessa::proc::Stdio::null();
  o.new_process_group = true;
  const double started = epoch_ms();
  auto p = vessa::proc::Process::start(o);
  if (!p) return s;
  auto deadline = Clock::now() + std::chrono::seconds(60);
  std::optional<double> at;
  while (Clock::now() < deadline && (*p)->running()) {
    if ((at = fcp(**p))) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (at) {
    s.fcp_ms = *at - started;
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const TreePss pss = tree_pss_mb((*p)->pid());
    s.pss_mb = pss.shell_mb;
    s.sidecar_mb = pss.sidecar_mb;
    s.code_mb = pss.code_mb;
  }
  (*p)->terminate(std::chrono::seconds(2));
  return s;
}

std::optional<double> fcp_from_stdout(vessa::proc::Process& p, std::string& buffer) {
  char buf[4096];
  ssize_t n;
  fcntl(p.stdout_fd(), F_SETFL, fcntl(p.stdout_fd(), F_GETFL) | O_NONBLOCK);
  while ((n = ::read(p.stdout_fd(), buf, sizeof buf)) > 0) buffer.append(buf, n);
  auto pos = buffer.find("{\"fcp\":");
  if (pos == std::string::npos) return std::nullopt;
  auto end = buffer.find('\n', pos);
  if (end == std::string::npos) return std::nullopt;
  auto j = vessa::parse_json(buffer.substr(pos, end - pos));
  if (!j || !(*j)["fcp"].is_number()) return std::nullopt;
  return (*j)["fcp"].get<double>();
}

// Cold start and memory: the shell's program against bare_webkit, plain, with the shell's window
// chrome, and with the chrome and the shell's HTTP client, taking turns, `runs` of each.
// Each program keeps its own HOME and XDG folders across its runs, warmed by one start that is
// not counted: a fresh folder per run would make only the first start pay for the GL shader
// cache and WebKit's caches, and comparing a warm bare program with a cold shell measured
// Mesa's shader compiler rather than the shell. The bare program's window has the main window's
// size (1400 × 900), so both draw the same number of pixels.
void run_cold_start(Report& report, const std::string& bare, const stdfs::path& bundle,
                    const stdfs::path& base, int runs) {
  const stdfs::path start_dist = base / "start";
  write(start_dist / "index.html", kStartPage);
  // A copy of the bundle whose Resources/web is the start page (the bundle folder wins over
  // VESSA_WEB_DIST when resolving the front end).
  const stdfs::path app_copy = base / "Vessa.app";
  stdfs::copy(bundle, app_copy, stdfs::copy_options::recursive);
  stdfs::remove_all(app_copy / "Resources" / "web");
  stdfs::copy(start_dist, app_copy / "Resources" / "web", stdfs::copy_options::recursive);
  auto home_env = [&](const std::string& name) {
    auto env = vessa::proc::current_environment();
    const stdfs::path home = base / ("home-" + name);
    stdfs::create_directories(home);
    env["HOME"] = home.string();
    for (const char* v : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"}) {
      env[v] = (home / v).string();
    }
    return env;
  };
  const auto bare_env = home_env("bare"), chrome_env = home_env("chrome"),
             http_env = home_env("http");
  // The shell as packaged: a developer build would otherwise turn its web inspector on.
  auto shell_env = home_env("shell");
  shell_env["VESSA_INSPECTOR"] = "0";
  const std::string config = shell_env.at("HOME") + "/.vessa/config.json";
  enum class Floor { none, chrome, http };
  auto start_bare = [&](Floor floor) {
    std::vector<std::string> argv = {bare, "file://" + (start_dist / "index.html").string(),
                                     "1400x900"};
    if (floor != Floor::none) argv.emplace_back("--chrome");
    if (floor == Floor::http) argv.emplace_back("--http");
    std::string buffer;
    const auto& env = floor == Floor::none     ? bare_env
                      : floor == Floor::chrome ? chrome_env
                                               : http_env;
    return sample_start(argv, env,
                        [&](vessa::proc::Process& p) { return fcp_from_stdout(p, buffer); });
  };
  auto start_shell = [&] {
    // The page reports its paint through config_set: forget the previous run's report.
    if (auto j = vessa::read_json_file(config); j && j->is_object() && j->contains("fcp")) {
      j->erase("fcp");
      vessa::fs::atomic_write(config, vessa::dump_pretty(*j));
    }
    return sample_start({(app_copy / "bin" / "vessa").string()}, shell_env,
                        [&](vessa::proc::Process&) -> std::optional<double> {
                          auto j = vessa::read_json_file(config);
                          if (!j || !j->is_object() || !(*j)["fcp"].is_number()) return {};
                          return (*j)["fcp"].get<double>();
                        });
  };
  start_bare(Floor::none);
  start_bare(Floor::chrome);
  start_bare(Floor::http);
  start_shell();
  // Each program's samples of the starts that painted.
  struct Series {
    std::vector<double> fcp, pss, sidecar, code;
    void add(const StartSample& s) {
      if (std::isnan(s.fcp_ms)) return;
      fcp.push_back(s.fcp_ms), pss.push_back(s.pss_mb);
      sidecar.push_back(s.sidecar_mb), code.push_back(s.code_mb);
    }
  } bare_runs, chrome_runs, http_runs, shell_runs;
  for (int i = 0; i < runs; ++i) {
    auto b = start_bare(Floor::none);
    auto c = start_bare(Floor::chrome);
    auto h = start_bare(Floor::http);
    auto s = start_shell();
    std::fprintf(stderr,
                 "start-up %d: bare %.0f ms %.1f MB, chrome %.0f ms %.1f MB, chrome and HTTP "
                 "client %.0f ms %.1f MB, shell %.0f ms %.1f MB\n",
                 i, b.fcp_ms, b.pss_mb, c.fcp_ms, c.pss_mb, h.fcp_ms, h.pss_mb, s.fcp_ms, s.pss_mb);
    bare_runs.add(b);
    chrome_runs.add(c);
    http_runs.add(h);
    shell_runs.add(s);
  }
  // Two floors under both rows, each a bare program that does one more thing the shell cannot
  // leave out: its window chrome (header bar, title, menu button; under a software renderer its
  // texture atlases sit in the process's memory), then also its HTTP client (libcurl and the
  // libraries it loads, and its set-up with TLS, which the first launch step makes).
  const double bf = median(bare_runs.fcp), cf = median(chrome_runs.fcp), hf = median(http_runs.fcp),
               sf = median(shell_runs.fcp);
  report.row("cold start to first contentful paint", "≤ 1.05× bare",
             fmt("%.0f ms", sf) + fmt(" vs %.0f ms bare", bf) + fmt(" = %.2f×", sf / bf) +
                 fmt("; floors, bare with the shell's window chrome: %.2f×", cf / bf) +
                 fmt(", and with its HTTP client too: %.2f×", hf / bf) +
                 fmt(" (medians of %.0f alternating runs)", static_cast<double>(runs)),
             sf <= 1.05 * bf);
  const double bp = median(bare_runs.pss), cp = median(chrome_runs.pss), hp = median(http_runs.pss),
               sp = median(shell_runs.pss);
  report.row("memory over the bare program (PSS, whole process tree)", "≤ 10 MB",
             fmt("%.1f MB", sp - bp) + fmt(" (%.1f MB", sp) + fmt(" vs %.1f MB;", bp) +
                 fmt(" floors, the window chrome: %.1f MB,", cp - bp) +
                 fmt(" with the HTTP client too: %.1f MB;", hp - bp) +
                 fmt(" of the rest, the shell's program file: %.1f MB;", median(shell_runs.code)) +
                 fmt(" executor sidecar apart: %.1f MB)", median(shell_runs.sidecar)),
             sp - bp <= 10);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: page_transport BARE_WEBKIT VESSA_BUNDLE [--quick] [--startup-only]\n");
    return 2;
  }
  const std::string bare = argv[1];
  const stdfs::path bundle = argv[2];
  bool quick = false, startup_only = false;
  for (int i = 3; i < argc; ++i) {
    quick = quick || std::string(argv[i]) == "--quick";
    startup_only = startup_only || std::string(argv[i]) == "--startup-only";
  }
  // VESSA_BENCH_ONLY="results,arg" runs only the named sections (ping, inflight, events,
  // results, mainthread, arg, bytes, threshold, start); unset runs everything.
  const char* only = std::getenv("VESSA_BENCH_ONLY");
  auto want = [only](const char* section) {
    return only == nullptr || std::string_view(only).find(section) != std::string_view::npos;
  };
  signal(SIGPIPE, SIG_IGN);

  // An isolated HOME for everything this run starts.
  char tmpl[] = "/tmp/vessa-bench-XXXXXX";
  const stdfs::path base = mkdtemp(tmpl);
  setenv("HOME", base.c_str(), 1);
  for (const char* v : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"}) {
    setenv(v, (base / v).c_str(), 1);
  }
  const stdfs::path dist = base / "dist";
  write(dist / "common.js", kCommonJs);
  write(dist / "raw.html", kRawPage);
  write(dist / "index.html", kShellPage);

  Report report;
  if (startup_only) {
    run_cold_start(report, bare, bundle, base, quick ? 3 : 7);
    std::printf("| Measure | Target | Measured | |\n|---|---|---|---|\n");
    for (const auto& r : report.rows) std::printf("%s\n", r.c_str());
    std::error_code ec;
    stdfs::remove_all(base, ec);
    return 0;
  }
  const std::vector<int> sizes_mb = quick ? std::vector<int>{1, 10} : std::vector<int>{1, 10, 50};

  // ---- The machine's own rates, then the native encoder and escaper ----
  constexpr int kReps = 5;
  // First touch: writing fresh memory (page faults included); copy: memcpy between buffers
  // already touched. Every floor below that involves moving bytes is built from these.
  double touch_ns = 0, copy_ns = 0;
  {
    std::vector<double> touch, copy;
    const size_t n = size_t{100} << 20;
    std::string src(n, 'x'), dst(n, 'y');
    for (int i = 0; i < kReps; ++i) {
      auto t0 = Clock::now();
      auto* fresh = static_cast<char*>(std::malloc(n));
      std::memset(fresh, i, n);
      touch.push_back(ms_since(t0) * 1e6 / static_cast<double>(n));
      asm volatile("" : : "r"(fresh) : "memory");
      std::free(fresh);
      t0 = Clock::now();
      std::memcpy(dst.data(), src.data(), n);
      copy.push_back(ms_since(t0) * 1e6 / static_cast<double>(n));
      asm volatile("" : : "r"(dst.data()) : "memory");
    }
    touch_ns = median(touch);
    copy_ns = median(copy);
    report.notes.push_back("this machine: first touch of fresh memory " + spread(touch, "ns/byte") +
                           ", memcpy " + spread(copy, "ns/byte") + " (100 MB each)");
  }
  std::map<int, json> blobs;
  std::map<int, std::string> blob_text;
  std::map<int, double> encode_ms;
  std::vector<double> fresh_10;
  for (int mb : sizes_mb) {
    blobs[mb] = make_records(static_cast<size_t>(mb) << 20);
    std::vector<double> t;
    for (int i = 0; i < kReps; ++i) {
      auto t0 = Clock::now();
      blob_text[mb] = vessa::encode_json(blobs[mb]);
      t.push_back(ms_since(t0));
    }
    encode_ms[mb] = median(t);
    if (mb == 10) fresh_10 = t;
    write(dist / ("blob" + std::to_string(mb) + ".json"), blob_text[mb]);
  }
  {
    // Into a reused buffer (the steady state) and into a fresh one (what the bridge does).
    std::string buffer;
    buffer.reserve(blob_text[10].size() + 64);
    std::vector<double> reused;
    for (int i = 0; i < kReps; ++i) {
      buffer.clear();
      auto t0 = Clock::now();
      vessa::encode_json_into(buffer, blobs[10]);
      reused.push_back(ms_since(t0));
    }
    // The floor of any encoder of this tree: visiting every node and reading every byte of its
    // text once, without writing anything.
    std::vector<double> walk;
    for (int i = 0; i < kReps; ++i) {
      auto t0 = Clock::now();
      size_t sum = 0;
      auto visit = [&sum](auto&& self, const json& v) -> void {
        if (v.is_string()) {
          for (unsigned char c : v.get_ref<const std::string&>()) sum += c;
        } else if (v.is_object()) {
          for (const auto& [k, item] : v.get_ref<const json::object_t&>()) {
            for (unsigned char c : k) sum += c;
            self(self, item);
          }
        } else if (v.is_array()) {
          for (const auto& item : v.get_ref<const json::array_t&>()) self(self, item);
        } else {
          sum += v.type() == json::value_t::number_integer ? 1 : 0;
        }
      };
      visit(visit, blobs[10]);
      asm volatile("" : : "r"(sum) : "memory");
      walk.push_back(ms_since(t0));
    }
    const double mb = static_cast<double>(blob_text[10].size()) / 1e6;
    const double fresh_mbps = mb / (median(fresh_10) / 1000);
    const double walk_mbps = mb / (median(walk) / 1000);
    const double ratio = median(fresh_10) / median(reused);
    report.row("JSON encoding, record-shaped data, fresh buffer",
               "≥ 500 MB/s and ≤ 1.5× reused buffer",
               fmt("%.0f MB/s", fresh_mbps) + fmt(" = %.2f× reused", ratio) + "; fresh " +
                   spread(fresh_10, "ms") + ", reused " + spread(reused, "ms") +
                   " per 10 MB; walking the tree alone " + spread(walk, "ms") +
                   fmt(" = %.0f MB/s", walk_mbps),
               fresh_mbps >= 500 && ratio <= 1.5);
    const std::string clean(32u << 20, 'a');
    buffer.reserve(clean.size() + 64);
    std::vector<double> t, fresh;
    for (int i = 0; i < 5; ++i) {
      buffer.clear();
      auto t0 = Clock::now();
      vessa::encode_json_string_into(buffer, clean);
      t.push_back(ms_since(t0));
      t0 = Clock::now();
      auto s2 = vessa::encode_json(json(clean));
      fresh.push_back(ms_since(t0));
      if (s2.size() < 3) return 1;
    }
    const double ns = median(t) * 1e6 / static_cast<double>(clean.size());
    report.row(
        "string escaping, clean text", "≤ 1 ns/byte",
        fmt("%.2f ns/byte", ns) + fmt(" (fresh buffer, value copy included: %.2f ns/byte)",
                                      median(fresh) * 1e6 / static_cast<double>(clean.size())),
        ns <= 1.0);
  }

  // ---- Raw floor (child process) ----
  std::optional<json> raw = json::object();
  if (want("ping") || want("inflight") || want("events")) raw = run_raw_floor(bare, dist);
  if (!raw) {
    std::fprintf(stderr, "the raw floor program reported nothing\n");
    return 1;
  }

  // ---- Our shell, in this process ----
  gtk_init();
  auto app = std::make_shared<BenchApp>();
  vessa::app::WebViewHost::Options options;
  options.dist_root = dist;
  options.web_extensions_dir = bundle / "lib" / "web-extensions";
  // Measured as packaged: the inspector of development builds slows every evaluation.
  options.inspector = false;
  auto host = vessa::app::WebViewHost::create(app, options);
  app->host = host;
  GtkWindow* window = GTK_WINDOW(gtk_window_new());
  gtk_window_set_default_size(window, 800, 600);
  gtk_window_set_child(window, host->build());
  // A bare handler beside the shell's, in the same view: what the page and the engine cost
  // without the bridge, with the view's own settings and scripts (see the `__ping` notes).
  WebKitUserContentManager* view_ucm = webkit_web_view_get_user_content_manager(host->web_view());
  webkit_user_content_manager_register_script_message_handler(view_ucm, "raw", nullptr);
  g_signal_connect(view_ucm, "script-message-received::raw",
                   G_CALLBACK(+[](WebKitUserContentManager*, JSCValue* value, gpointer v) noexcept {
                     if (const long id = raw::call_id(value); id >= 0) {
                       raw::resolve(static_cast<WebKitWebView*>(v), id);
                     }
                   }),
                   host->web_view());
  int loads = 0;
  g_signal_connect(host->web_view(), "load-changed",
                   G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent e, gpointer n) noexcept {
                     if (e == WEBKIT_LOAD_FINISHED) ++*static_cast<int*>(n);
                   }),
                   &loads);
  gtk_window_present(window);
  if (!run_until([&] { return loads > 0; }, 60000)) {
    std::fprintf(stderr, "the shell page never loaded\n");
    return 1;
  }
  WebKitWebView* view = host->web_view();
  auto timing = std::make_shared<TimingEvaluator>(host->bridge()->web_view());
  if (!timing->takes_values()) std::fprintf(stderr, "note: the web-process extension is missing\n");
  host->bridge()->set_web_view(timing);

  // Bench-only commands. Results and events come from pool threads, as the real families do.
  std::map<int, json> sized;
  // Copies of each blob made before a timed run: a command hands over the value it built, so
  // copying the blob is not the bridge's cost.
  std::map<int, std::vector<json>> built;
  std::vector<Clock::time_point> ping_stamps;
  auto& bridge = host->bridge();
  std::weak_ptr<vessa::bridge::Bridge> weak_bridge = bridge;
  bridge->registry()->set_family_override_for_testing(
      "handleNative", [&, weak_bridge](const std::string& cmd, const json& args,
                                       const vessa::commands::Completion& done) {
        if (cmd == "__ping") {
          ping_stamps.push_back(Clock::now());
          return false;  // answered by the built-in
        }
        if (cmd == "bench_blob" || cmd == "bench_sized") {
          // Records of `mb` megabytes (made up front) or `kb` kilobytes (made on first use).
          const json* value;
          if (cmd == "bench_blob") {
            const int mb = static_cast<int>(vessa::number_arg(args, "mb").value_or(1));
            if (auto& ready = built[mb]; !ready.empty()) {
              vessa::dispatch::global_async(
                  [done, v = std::make_shared<json>(std::move(ready.back()))]() mutable {
                    done(vessa::commands::CommandResult::success(std::move(*v)));
                  });
              ready.pop_back();
              return true;
            }
            value = &blobs[mb];
          } else {
            const int kb = static_cast<int>(vessa::number_arg(args, "kb").value_or(1));
            if (!sized.count(kb)) sized[kb] = make_records(static_cast<size_t>(kb) << 10);
            value = &sized[kb];
          }
          vessa::dispatch::global_async(
              [done, value] { done(vessa::commands::CommandResult::success(*value)); });
          return true;
        }
        if (cmd == "bench_events") {
          const int n = static_cast<int>(vessa::number_arg(args, "n").value_or(0));
          vessa::dispatch::global_async([done, n, weak_bridge] {
            if (auto b = weak_bridge.lock()) {
              for (int i = 0; i < n; ++i) b->emit("bench-tick", i);
            }
            done(vessa::commands::CommandResult::success(n));
          });
          return true;
        }
        if (cmd == "bench_bytes") {
          // The size of raw bytes received, or 10 MB of bytes when sent none.
          const vessa::commands::CommandRequest* request = bridge->registry()->request();
          if (request && request->body) {
            done(vessa::commands::CommandResult::success(request->body.size()));
          } else {
            // Every byte value, as binary payloads have; the page checks the same pattern.
            static const vessa::commands::Bytes kTen([] {
              std::string b(size_t{10} << 20, '\0');
              for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<char>((i * 7 + 3) & 0xFF);
              return b;
            }());
            done(vessa::commands::CommandResult::bytes(kTen));
          }
          return true;
        }
        if (cmd == "bench_arg") {
          const auto it = args.find("data");
          done(vessa::commands::CommandResult::success(
              it != args.end() && it->is_array() ? it->size() : size_t{0}));
          return true;
        }
        return false;
      });

  // Sequential __ping: native arrival stamps give each round trip at microsecond precision.
  if (want("ping")) {
    // The raw program and our shell take turns, five rounds of 2,000 each, so that a drift in
    // this machine's speed during the run falls on both sides of each round's ratio.
    constexpr int kPingRounds = 5;
    const int n_seq = 2000;
    std::vector<double> ratios, shell_meds, raw_meds, shell_all, raw_all, in_shell;
    std::vector<double> text_ratios, text_meds;  // against raw requests carried as text
    for (int round = 0; round < kPingRounds; ++round) {
      std::optional<json> raw_round = round == 0 ? raw : run_raw_floor(bare, dist);
      if (!raw_round || !raw_round->contains("native") || !raw_round->contains("native_text")) {
        std::fprintf(stderr, "the raw floor program gave no arrival stamps\n");
        return 1;
      }
      ping_stamps.clear();
      timing->eval_stamps.clear();
      timing->stamping = true;
      call_page(view, "await bench.sequential(() => window.__TAURI_INTERNALS__.invoke('__ping'), " +
                          std::to_string(n_seq) + "); return 1;");
      timing->stamping = false;
      std::vector<double> shell_rt;
      for (size_t i = 201; i < ping_stamps.size(); ++i) {
        shell_rt.push_back(
            std::chrono::duration<double, std::milli>(ping_stamps[i] - ping_stamps[i - 1]).count());
      }
      // Most of the shell's own part of each round trip: from the request reaching the command
      // registry to its answer handed to WebKit (reading the posted text comes before).
      for (size_t i = 201, e = 0; i < ping_stamps.size(); ++i) {
        while (e < timing->eval_stamps.size() && timing->eval_stamps[e] < ping_stamps[i]) ++e;
        if (e == timing->eval_stamps.size()) break;
        in_shell.push_back(
            std::chrono::duration<double, std::micro>(timing->eval_stamps[e] - ping_stamps[i])
                .count());
      }
      const auto raw_rt = (*raw_round)["native"].get<std::vector<double>>();
      if (shell_rt.empty() || raw_rt.empty()) return 1;
      shell_meds.push_back(median(shell_rt) * 1000);  // µs
      raw_meds.push_back(median(raw_rt) * 1000);
      ratios.push_back(shell_meds.back() / raw_meds.back());
      text_meds.push_back(median((*raw_round)["native_text"].get<std::vector<double>>()) * 1000);
      text_ratios.push_back(shell_meds.back() / text_meds.back());
      shell_all.insert(shell_all.end(), shell_rt.begin(), shell_rt.end());
      raw_all.insert(raw_all.end(), raw_rt.begin(), raw_rt.end());
    }
    report.notes.push_back(
        "round trips are timed between native arrivals of consecutive requests (the page's "
        "clock has 1 ms resolution): raw " +
        fmt("median %.3f ms", median(raw_all)) + fmt(", p99 %.3f ms", percentile(raw_all, 0.99)));
    report.row("sequential `__ping`, median (5 rounds of 2,000, taking turns with raw)",
               "≤ 1.2× raw",
               fmt("%.2f×", median(ratios)) +
                   fmt(" (%.2f–", *std::min_element(ratios.begin(), ratios.end())) +
                   fmt("%.2f, n=5)", *std::max_element(ratios.begin(), ratios.end())) + "; ours " +
                   spread(shell_meds, "µs") + ", raw " + spread(raw_meds, "µs") +
                   "; against raw requests sent as text (a 32-character key and the JSON, as "
                   "ours are) " +
                   fmt("%.2f×", median(text_ratios)) +
                   fmt(" (%.2f–", *std::min_element(text_ratios.begin(), text_ratios.end())) +
                   fmt("%.2f, n=5), raw text ",
                       *std::max_element(text_ratios.begin(), text_ratios.end())) +
                   spread(text_meds, "µs"),
               median(ratios) <= 1.2);
    // The same page, view and engine settings, taking turns in blocks of 200 calls: a bare
    // handler answering a number, the bare handler answering the shell's request text (key and
    // JSON), and the shell. The page's clock times each block.
    const json blocks = call_json(view, R"JS(
      const kinds = {
        ...bench.rawCalls(),
        shell: () => window.__TAURI_INTERNALS__.invoke('__ping'),
      };
      const out = { number: [], text: [], shell: [] };
      for (let b = 0; b < 23; b++) {
        for (const k of Object.keys(kinds)) {
          const a = performance.now();
          for (let i = 0; i < 200; i++) await kinds[k]();
          if (b >= 3) out[k].push((performance.now() - a) * 5);  // µs per call
        }
      }
      return out;)JS");
    if (blocks.is_object()) {
      const auto number = blocks["number"].get<std::vector<double>>();
      const auto text = blocks["text"].get<std::vector<double>>();
      const auto shell = blocks["shell"].get<std::vector<double>>();
      report.notes.push_back(
          "`__ping` in the shell's own view (same page and engine settings, 20 blocks of 200 "
          "calls each taking turns, the page's clock): a bare handler answering a number " +
          spread(number, "µs") + ", answering the shell's request text (key and JSON) " +
          spread(text, "µs") + ", the shell " + spread(shell, "µs") +
          fmt(": the shell is %.2f×", median(shell) / median(text)) +
          " the bare handler answering the same text" +
          fmt(" and %.2f× it answering a number", median(shell) / median(number)));
    }
    report.notes.push_back(
        "of each `__ping` round trip, the shell's part from the request reaching the command "
        "registry to its answer handed to WebKit took " +
        fmt("a median %.1f µs", median(in_shell)) +
        fmt(" (p90 %.1f µs); the rest is the page and WebKit", percentile(in_shell, 0.9)));
    // The raw program's own tail in the same run is the machine's floor for this row.
    report.row("sequential `__ping`, p99", "≤ 1 ms",
               fmt("%.3f ms", percentile(shell_all, 0.99)) +
                   fmt(" (raw p99 %.3f ms in this run)", percentile(raw_all, 0.99)),
               percentile(shell_all, 0.99) <= 1.0);
  }

  // 100 in flight.
  if (want("inflight")) {
    std::vector<double> rates;
    for (int i = 0; i < kReps; ++i) {
      rates.push_back(call_json(view,
                                "return await bench.inflight(() => "
                                "window.__TAURI_INTERNALS__.invoke('__ping'), 40, 100);")
                          .get<double>());
    }
    const double shell_rate = median(rates);
    const auto raw_rates = (*raw)["inflight"].get<std::vector<double>>();
    const double raw_rate = median(raw_rates);
    report.row("100 in flight", "≥ 1.3× raw unbatched (medians of five runs)",
               spread(rates, "/s") + " vs " + spread(raw_rates, "/s") + " raw" +
                   fmt(" = %.2f×", shell_rate / raw_rate),
               shell_rate >= 1.3 * raw_rate);
  }

  // Events, batched.
  if (want("events")) {
    const int n = 200000;
    const double per_sec = call_json(view, R"JS(
      const n = )JS" + std::to_string(n) + R"JS(;
      let got = 0, done;
      const all = new Promise((r) => (done = r));
      const un = await window.__TAURI_INTERNALS__.event.listen('bench-tick', () => { if (++got === n) done(); });
      const a = performance.now();
      await window.__TAURI_INTERNALS__.invoke('bench_events', { n });
      await all;
      const rate = n / ((performance.now() - a) / 1000);
      un();
      return rate;)JS")
                               .get<double>();
    report.row("events per second", "≥ 150,000/s",
               fmt("%.0f/s", per_sec) + fmt(" (raw one evaluation per event: %.0f/s)",
                                            (*raw)["eventsPerSec"].get<double>()),
               per_sec >= 150000);
  }

  // Large results against native encoding + the page's JSON.parse of the same bytes.
  for (int mb : sizes_mb) {
    if (!want("results")) break;
    const int reps = kReps;
    built[mb].assign(static_cast<size_t>(reps), blobs[mb]);
    json r = call_json(
        view, "const reps = " + std::to_string(reps) + ", mb = " + std::to_string(mb) + R"JS(;
      const text = await (await fetch('/blob' + mb + '.json')).text();
      const parse = [], deliver = [];
      for (let i = 0; i < reps; i++) {
        let a = performance.now();
        const v = JSON.parse(text);
        parse.push(performance.now() - a);
        if (!v.length) throw new Error('empty');
      }
      for (let i = 0; i < reps; i++) {
        const a = performance.now();
        const v = await window.__TAURI_INTERNALS__.invoke('bench_blob', { mb });
        deliver.push(performance.now() - a);
        if (v.length < 10) throw new Error('short result');
      }
      return { parse, deliver };)JS");
    const auto parse = r["parse"].get<std::vector<double>>();
    const auto deliver = r["deliver"].get<std::vector<double>>();
    const double floor = encode_ms[mb] + median(parse);
    const double got = median(deliver);
    const double limit = mb >= 50 ? 2.0 : 1.5;
    report.row(std::to_string(mb) + " MB result", fmt("≤ %.1f× floor", limit),
               spread(deliver, "ms") + fmt(" vs floor %.0f ms", floor) +
                   fmt(" (encode %.0f", encode_ms[mb]) + " + JSON.parse " + spread(parse, "ms") +
                   ")" + fmt(" = %.2f×", got / floor),
               got <= limit * floor);
  }

  // Main-thread time for one 10 MB result: the evaluation hand-over on the main thread, and
  // the longest main-loop stall seen by a 1 ms ticker while the result travels.
  if (want("mainthread")) {
    timing->busy_ms = 0;
    struct Stall {
      Clock::time_point last = Clock::now();
      double worst = 0;
    } stall;
    guint tick = g_timeout_add(
        1,
        [](gpointer p) -> gboolean {
          auto* s = static_cast<Stall*>(p);
          s->worst = std::max(s->worst, ms_since(s->last));
          s->last = Clock::now();
          return G_SOURCE_CONTINUE;
        },
        &stall);
    call_page(view, "await window.__TAURI_INTERNALS__.invoke('bench_blob', { mb: 10 }); return 1;");
    g_source_remove(tick);
    report.row("main-thread time per 10 MB result", "≤ 60 ms",
               fmt("%.1f ms handing the script over", timing->busy_ms) +
                   fmt("; longest main-loop stall %.0f ms", stall.worst),
               timing->busy_ms <= 60);
  }

  // A 10 MB argument from the page.
  if (want("arg")) {
    // The page's part and the native parse take turns, one of each per round, so that a drift
    // in this machine's speed falls on both sides of each round's ratio.
    call_json(view,
              "window.__argData = JSON.parse(await (await fetch('/blob10.json')).text()); "
              "return {};");
    const std::string text = vessa::encode_json(json{
        {"type", "invoke"}, {"reqId", 1}, {"cmd", "bench_arg"}, {"args", {{"data", blobs[10]}}}});
    std::vector<double> total, str, pt, ratios;
    for (int round = 0; round <= kReps; ++round) {  // round 0 warms up
      json r = call_json(view, R"JS(
        const data = window.__argData;
        let a = performance.now();
        const text = JSON.stringify({ type: 'invoke', reqId: 1, cmd: 'bench_arg', args: { data } });
        const stringify = performance.now() - a;
        if (text.length < 10) throw new Error('short');
        a = performance.now();
        const n = await window.__TAURI_INTERNALS__.invoke('bench_arg', { data });
        const total = performance.now() - a;
        if (n !== data.length) throw new Error('lost records: ' + n);
        return { total, stringify };)JS");
      // The native parse of the same message text, once the shell has freed the arguments it
      // was handed (off the main thread, after the answer) so the two do not share the cores.
      run_until([] { return false; }, 300);
      auto t0 = Clock::now();
      if (!vessa::parse_json(text)) return 1;
      const double parse_ms = ms_since(t0);
      if (round == 0) continue;
      total.push_back(r["total"].get<double>());
      str.push_back(r["stringify"].get<double>());
      pt.push_back(parse_ms);
      ratios.push_back(total.back() / (str.back() + parse_ms));
    }
    call_json(view, "delete window.__argData; return {};");
    const double floor = median(str) + median(pt);
    const double got = median(total);
    // The engine's UTF-8 of the same text, which the web process must make to read it.
    const std::string args_text = vessa::encode_json(json{{"data", blobs[10]}});
    const auto engine =
        time_engine_conversion(("JSON.stringify(" + args_text + ")").c_str(), kReps);
    const double engine_floor = floor + median(engine.to_bytes);
    const double ratio = median(ratios);
    report.row(
        "10 MB argument from the page (5 rounds taking turns with the floor)", "≤ 1.3× floor",
        fmt("%.2f×", ratio) + fmt(" (%.2f–", *std::min_element(ratios.begin(), ratios.end())) +
            fmt("%.2f, n=5)", *std::max_element(ratios.begin(), ratios.end())) + "; ours " +
            spread(total, "ms") + fmt(" vs floor %.0f ms", floor) + " (JSON.stringify " +
            spread(str, "ms") + " + native parse " + spread(pt, "ms") + ")" +
            "; with the engine's UTF-8 of the text (" + spread(engine.to_bytes, "ms") +
            fmt(") %.0f ms", engine_floor) + fmt(" = %.2f×", got / engine_floor),
        ratio <= 1.3);
  }

  // 10 MB of raw bytes each way. The floor is one memcpy of the bytes into fresh memory at
  // this machine's rates measured above: the least any hand-over between processes does.
  if (want("bytes")) {
    const double mb10 = 10.0 * (1 << 20);
    const double floor = mb10 * (copy_ns + touch_ns) / 1e6;
    json r = call_json(view, R"JS(
      const t = window.__TAURI_INTERNALS__;
      const body = new Uint8Array(10 * 1024 * 1024);
      for (let i = 0; i < body.length; i++) body[i] = (i * 7 + 3) & 255;
      const up = [], down = [], decode = [], rebuild = [];
      // What the engine makes the page do besides the hand-over: the bytes become base64 text on
      // the way out, and such text becomes bytes on the way in (its own native conversions).
      for (let i = 0; i < 5; i++) {
        let a = performance.now();
        const text = body.toBase64();
        decode.push(performance.now() - a);
        a = performance.now();
        const back = Uint8Array.fromBase64(text);
        rebuild.push(performance.now() - a);
        if (back[body.length - 1] !== body[body.length - 1]) throw new Error('bad rebuild');
      }
      for (let i = 0; i < 6; i++) {
        let a = performance.now();
        const n = await t.invoke('bench_bytes', body);
        if (i) up.push(performance.now() - a);
        if (n !== body.length) throw new Error('lost bytes: ' + n);
        a = performance.now();
        const got = await t.invoke('bench_bytes', null);
        if (i) down.push(performance.now() - a);
        if (got.byteLength !== body.length || new Uint8Array(got)[12345] !== body[12345]) {
          throw new Error('wrong answer');
        }
      }
      return JSON.stringify({ up, down, decode, rebuild });)JS");
    if (r.is_string()) r = vessa::parse_json(r.get<std::string>()).value_or(r);
    if (!r.is_object()) {
      std::fprintf(stderr, "bytes: %s\n", r.dump().c_str());
      return 1;
    }
    const auto up = r["up"].get<std::vector<double>>();
    const auto down = r["down"].get<std::vector<double>>();
    const auto decode = r["decode"].get<std::vector<double>>();
    const auto rebuild = r["rebuild"].get<std::vector<double>>();
    // Judged against the copy alone. While bytes must cross the web process as a string, the
    // engine's conversions of the same data, measured here, are the floor under the hand-over:
    // the page's base64 of the bytes and the engine's bytes of that text on the way up, the
    // engine's string of the text and the page's bytes of it on the way down.
    const auto engine = time_engine_conversion(
        "(() => { const b = new Uint8Array(10 * 1024 * 1024);"
        "for (let i = 0; i < b.length; i++) b[i] = (i * 7 + 3) & 255; return b.toBase64(); })()",
        kReps);
    const double up_floor = floor + median(decode) + median(engine.to_bytes);
    const double down_floor = floor + median(engine.from_bytes) + median(rebuild);
    report.row("10 MB of bytes from the page", "≤ 1.3× memcpy floor",
               spread(up, "ms") + fmt(" vs floor %.1f ms", floor) +
                   fmt(" = %.2f×", median(up) / floor) + "; with the page's toBase64 (" +
                   spread(decode, "ms") + ") and the engine's bytes of that text (" +
                   spread(engine.to_bytes, "ms") + fmt(") %.1f ms", up_floor) +
                   fmt(" = %.2f×", median(up) / up_floor),
               median(up) <= 1.3 * floor);
    report.row("10 MB of bytes to the page", "≤ 2× memcpy floor",
               spread(down, "ms") + fmt(" vs floor %.1f ms", floor) +
                   fmt(" = %.2f×", median(down) / floor) +
                   "; with the engine's string of the base64 text (" +
                   spread(engine.from_bytes, "ms") + ") and the page's Uint8Array.fromBase64 (" +
                   spread(rebuild, "ms") + fmt(") %.1f ms", down_floor) +
                   fmt(" = %.2f×", median(down) / down_floor),
               median(down) <= 2 * floor);
  }

  // The threshold: the same data sent as the three-argument call and as the one-argument
  // ASCII form, each evaluated alone, per evaluation until the page is done with it.
  if (want("threshold")) {
    call_page(view, "window.__BENCH_SINK = () => {}; window.__BENCH_SINK1 = () => {}; return 1;");
    std::string line = "threshold experiment (ms per evaluation, three-argument / one-argument):";
    for (size_t kb : {2, 4, 8, 16, 32, 64, 256}) {
      const json records = make_records(kb << 10);
      const std::string three =
          "window.__BENCH_SINK(1, true, " + vessa::encode_json(records) + ");";
      const std::string one = "window.__BENCH_SINK1([1,true," +
                              vessa::encode_json(records, {.ascii_only = true}) + "]);";
      auto per_eval = [&](const std::string& script) {
        int pending = 0;
        const int n = 60;
        auto t0 = Clock::now();
        for (int i = 0; i < n; ++i) {
          ++pending;
          webkit_web_view_evaluate_javascript(
              view, script.data(), static_cast<gssize>(script.size()), nullptr, nullptr, nullptr,
              [](GObject* src, GAsyncResult* res, gpointer d) noexcept {
                GError* error = nullptr;
                JSCValue* v =
                    webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(src), res, &error);
                if (v) g_object_unref(v);
                if (error) g_error_free(error);
                --*static_cast<int*>(d);
              },
              &pending);
        }
        run_until([&] { return pending == 0; }, 120000);
        return ms_since(t0) / n;
      };
      per_eval(three);  // warm-up
      const double a = per_eval(three), b = per_eval(one);
      line += fmt(" %.0f KiB:", static_cast<double>(kb)) + fmt(" %.3f", a) + fmt(" / %.3f;", b);
    }
    report.notes.push_back(line);
    std::fprintf(stderr, "%s\n", line.c_str());

    // The bytes threshold: whole invokes of one size as script text and as bytes handed to the
    // web process.
    line = "bytes threshold (ms per invoke, script text / bytes):";
    for (int kb : {64, 256, 1024, 4096}) {
      auto per_invoke = [&](size_t value_bytes) {
        bridge->set_value_bytes_for_testing(value_bytes);
        return call_json(view, "const kb = " + std::to_string(kb) + R"JS(;
          const t = [];
          for (let i = 0; i < 7; i++) {
            const a = performance.now();
            const v = await window.__TAURI_INTERNALS__.invoke('bench_sized', { kb });
            t.push(performance.now() - a);
            if (!v.length) throw new Error('empty');
          }
          t.sort((x, y) => x - y);
          return t[3];)JS")
            .get<double>();
      };
      const double text = per_invoke(SIZE_MAX), bytes = per_invoke(0);
      line +=
          fmt(" %.0f KiB:", static_cast<double>(kb)) + fmt(" %.2f", text) + fmt(" / %.2f;", bytes);
    }
    bridge->set_value_bytes_for_testing(vessa::bridge::Bridge::kValueBytes);
    report.notes.push_back(line);
    std::fprintf(stderr, "%s\n", line.c_str());
  }

  gtk_window_destroy(window);
  host.reset();
  run_until([] { return false; }, 200);

  if (want("start")) run_cold_start(report, bare, bundle, base, quick ? 3 : 7);

  std::printf("| Measure | Target | Measured | |\n|---|---|---|---|\n");
  for (const auto& r : report.rows) std::printf("%s\n", r.c_str());
  std::printf("\n");
  for (const auto& n : report.notes) std::printf("- %s\n", n.c_str());
  std::error_code ec;
  stdfs::remove_all(base, ec);
  return 0;
}
