// Native cost of the bridge: __ping through Bridge and the registry with a fake web view, and
// encoding of large results.
#include <benchmark/benchmark.h>
#include <glib.h>

#include <memory>
#include <string>

#include "bridge/bridge.hpp"
#include "bridge/js.hpp"
#include "commands/command_registry.hpp"
#include "support/dispatch.hpp"

namespace {

class CountingEvaluator : public vessa::bridge::ScriptEvaluator {
 public:
  void evaluate_script(const std::string& script) override { bytes += script.size(); }
  size_t bytes = 0;
};

// One page message in, one resolve script evaluated (main queue drained each iteration).
void BM_PingThroughBridge(benchmark::State& state) {
  auto registry = std::make_shared<vessa::commands::CommandRegistry>(
      std::weak_ptr<vessa::commands::AppContext>());
  auto bridge = vessa::bridge::Bridge::create(registry);
  auto view = std::make_shared<CountingEvaluator>();
  bridge->set_web_view(view);
  vessa::json msg = {{"type", "invoke"}, {"reqId", 1}, {"cmd", "__ping"}};
  GMainContext* ctx = g_main_context_default();
  for (auto _ : state) {
    bridge->on_message(msg);
    while (g_main_context_iteration(ctx, FALSE)) {
    }
  }
  state.SetItemsProcessed(state.iterations());
  benchmark::DoNotOptimize(view->bytes);
}
BENCHMARK(BM_PingThroughBridge);

// A 10 MB result of records whose strings need escaping.
vessa::json make_records(size_t target_bytes) {
  vessa::json arr = vessa::json::array();
  size_t approx = 0;
  for (int i = 0; approx < target_bytes; ++i) {
    vessa::json rec = {{"id", i},
                       {"title", "Note \"" + std::to_string(i) + "\" — café\n"},
                       {"path", "/home/user/vault/notes/" + std::to_string(i) + ".md"},
                       {"body", std::string(120, 'a') + "\t\\</script>\u2028"},
                       {"score", i * 0.5},
                       {"tags", {"alpha", "beta"}}};
    approx += 260;
    arr.push_back(std::move(rec));
  }
  return arr;
}

void BM_EncodeRecords10MB(benchmark::State& state) {
  auto value = make_records(10u << 20);
  size_t bytes = 0;
  for (auto _ : state) {
    auto s = vessa::bridge::js::encode(value);
    bytes = s.size();
    benchmark::DoNotOptimize(s.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
}
BENCHMARK(BM_EncodeRecords10MB)->Unit(benchmark::kMillisecond);

void BM_EncodeRecords10MBAscii(benchmark::State& state) {
  auto value = make_records(10u << 20);
  size_t bytes = 0;
  for (auto _ : state) {
    auto s = vessa::bridge::js::encode_ascii(value);
    bytes = s.size();
    benchmark::DoNotOptimize(s.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
}
BENCHMARK(BM_EncodeRecords10MBAscii)->Unit(benchmark::kMillisecond);

void BM_EscapeCleanText(benchmark::State& state) {
  vessa::json value = std::string(10u << 20, 'a');
  for (auto _ : state) {
    auto s = vessa::bridge::js::encode(value);
    benchmark::DoNotOptimize(s.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(10u << 20) * state.iterations());
}
BENCHMARK(BM_EscapeCleanText)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
