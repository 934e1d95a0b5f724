// Cost of `vessa --selftest-commands`: the whole mode as a child process (start to exit, the
// manifest fetch refused locally), and each probe alone through an in-process registry, to see
// which family dominates.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>

#include "bench_home.hpp"
#include "build_config.hpp"
#include "commands/command_registry.hpp"
#include "selftest/command_self_test.hpp"
#include "support/subprocess.hpp"

namespace {

// The launch's update check must fail at once, not wait on the network.
struct BenchHome : vessa::bench::BenchHome {
  BenchHome() { ::setenv("VESSA_UPDATE_MANIFEST_URL", "http://127.0.0.1:1/latest.json", 1); }
};

void BM_SelfTestWhole(benchmark::State& state) {
  BenchHome home;
  vessa::proc::Options o;
  o.argv = {std::string(vessa::build::kBinaryDir) + "/Vessa.app/bin/vessa", "--selftest-commands"};
  for (auto _ : state) {
    auto r = vessa::proc::run(o);
    if (!r || !r->status.success()) state.SkipWithError("the self-test did not pass");
  }
}
BENCHMARK(BM_SelfTestWhole)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_Probe(benchmark::State& state) {
  BenchHome home;
  const auto& probe = vessa::selftest::CommandSelfTest::probes().at(state.range(0));
  auto registry = std::make_shared<vessa::commands::CommandRegistry>(
      std::weak_ptr<vessa::commands::AppContext>{});
  for (auto _ : state) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    registry->dispatch(probe.command, probe.args, [&](const vessa::commands::CommandResult&) {
      std::lock_guard lock(m);
      done = true;
      cv.notify_all();
    });
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return done; });
  }
  state.SetLabel(probe.command);
}
BENCHMARK(BM_Probe)->DenseRange(0, 10)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
