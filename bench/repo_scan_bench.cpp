// git_scan_repos over a generated home of 200 repositories among about 20,000 folders, next to
// `find` walking the same roots to the same depth.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "commands/repo_discovery.hpp"
#include "support/subprocess.hpp"

namespace proc = vessa::proc;

namespace {

namespace stdfs = std::filesystem;

constexpr const char* kRoots[] = {"Projects", "code", "src", "dev", "work"};

// Builds the home once per process: per root 20 groups x 10 sub-groups x 20 leaves; every
// 100th leaf is a repository with HEAD and config.
const std::string& home() {
  static const std::string dir = [] {
    std::string tmpl = (stdfs::temp_directory_path() / "vessa-bench-home-XXXXXX").string();
    std::string h = ::mkdtemp(tmpl.data());
    int leaf_count = 0;
    for (const char* root : kRoots) {
      for (int g = 0; g < 20; ++g) {
        for (int s = 0; s < 10; ++s) {
          for (int l = 0; l < 20; ++l) {
            std::string leaf = h + "/" + root + "/g" + std::to_string(g) + "/s" +
                               std::to_string(s) + "/leaf" + std::to_string(l);
            stdfs::create_directories(leaf);
            if (++leaf_count % 100 == 0) {
              stdfs::create_directories(leaf + "/.git");
              std::ofstream(leaf + "/.git/HEAD") << "ref: refs/heads/main\n";
              std::ofstream(leaf + "/.git/config")
                  << "[core]\n\tbare = false\n[remote \"origin\"]\n\turl = "
                     "git@github.com:me/r"
                  << leaf_count << ".git\n";
            }
          }
        }
      }
    }
    ::setenv("HOME", h.c_str(), 1);
    return h;
  }();
  return dir;
}

std::vector<std::string> find_argv() {
  std::vector<std::string> argv = {"find"};
  for (const char* root : kRoots) argv.push_back(home() + "/" + root);
  // Root entries are depth 1; the walk inspects `<depth-3 folder>/.git`, i.e. depth 4.
  argv.insert(argv.end(), {"-maxdepth", "4", "-name", ".git"});
  return argv;
}

double run_find() {
  auto t0 = std::chrono::steady_clock::now();
  proc::Options o;
  o.argv = find_argv();
  o.err = proc::Stdio::null();
  auto r = proc::run(o);
  benchmark::DoNotOptimize(r);
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

double run_scan() {
  auto t0 = std::chrono::steady_clock::now();
  vessa::commands::repos::ScanOptions options;
  options.max_repos = 200;
  auto results = vessa::commands::repos::scan_repos(options);
  if (results.size() != 200) std::abort();  // the workload must be the intended one
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

void BM_ScanRepos(benchmark::State& state) {
  home();
  for (auto _ : state) run_scan();
}
BENCHMARK(BM_ScanRepos)->Unit(benchmark::kMillisecond);

void BM_FindSameRoots(benchmark::State& state) {
  home();
  for (auto _ : state) run_find();
}
BENCHMARK(BM_FindSameRoots)->Unit(benchmark::kMillisecond);

// Both in each iteration, so the ratio comes from one run under the same cache state.
void BM_ScanToFindRatio(benchmark::State& state) {
  home();
  double scan_ms = 0;
  double find_ms = 0;
  for (auto _ : state) {
    scan_ms += run_scan();
    find_ms += run_find();
  }
  state.counters["scan_ms"] = benchmark::Counter(scan_ms, benchmark::Counter::kAvgIterations);
  state.counters["find_ms"] = benchmark::Counter(find_ms, benchmark::Counter::kAvgIterations);
  state.counters["ratio"] = scan_ms / find_ms;
}
BENCHMARK(BM_ScanToFindRatio)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  if (!home().empty()) stdfs::remove_all(home(), ec);
  return 0;
}
