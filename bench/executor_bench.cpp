// Executor start-up: time from ensureRunning to "ready" with the built sidecar (on a private
// port, nothing listening before), and the sidecar's idle resident memory.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "bench_home.hpp"
#include "build_config.hpp"
#include "executor/cli_auth_refresh.hpp"
#include "executor/executor_supervisor.hpp"

namespace {

std::string sidecar() {
  return std::string(vessa::build::kBinaryDir) + "/Vessa.app/Resources/vessa-executor";
}

uint16_t free_port() {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(s);
  return ntohs(addr.sin_port);
}

// Resident set in kB from /proc/<pid>/status.
long rss_kb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (in >> key) {
    if (key == "VmRSS:") {
      long kb = 0;
      in >> kb;
      return kb;
    }
    in.ignore(4096, '\n');
  }
  return -1;
}

using vessa::bench::BenchHome;

bool ensure(vessa::executor::ExecutorSupervisor& supervisor) {
  std::promise<bool> ready;
  supervisor.ensureRunning(
      true, [&](const std::string& status, const auto&) { ready.set_value(status == "ready"); });
  return ready.get_future().get();
}

void BM_EnsureToReady(benchmark::State& state) {
  BenchHome home;
  vessa::executor::ExecutorSupervisor::Options o;
  o.port = free_port();
  o.sidecar = sidecar();
  vessa::executor::detail::set_refresh_url_for_testing(
      "http://127.0.0.1:" + std::to_string(o.port) + "/refresh-cli-auth");
  auto supervisor = vessa::executor::ExecutorSupervisor::create(o);
  long rss = -1;
  for (auto _ : state) {
    if (!ensure(*supervisor)) {
      state.SkipWithError("the sidecar did not become ready");
      break;
    }
    state.PauseTiming();
    if (auto pid = supervisor->child_pid()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      rss = rss_kb(*pid);
    }
    supervisor->stop();
    state.ResumeTiming();
  }
  state.counters["sidecar_idle_rss_kB"] = static_cast<double>(rss);
  vessa::executor::detail::set_refresh_url_for_testing("");
}
BENCHMARK(BM_EnsureToReady)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
