// Cost of cli_detect on the page's start-up path: no tools installed, and all seven faked.
// Every process start (login shells and version runs) appends a line to a counter file, reported
// as the "processes" counter. "Sequential" is the one-tool-after-another order with a fresh
// enriched PATH per version run, for comparison with what cli_detect does.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "commands/cli_detect.hpp"
#include "commands/cli_lookup.hpp"
#include "support/paths.hpp"

namespace {

struct FakeHome {
  std::string root;
  std::string counter;

  explicit FakeHome(bool with_tools) {
    char tmpl[] = "/tmp/vessa-bench-XXXXXX";
    root = ::mkdtemp(tmpl);
    counter = root + "/starts";
    const std::string tools = root + "/tools";
    std::filesystem::create_directories(tools);
    write(root + "/shell", "echo x >> '" + counter +
                               "'\n[ \"$1\" = -l ] && shift\n"
                               "[ \"$1\" = -c ] && shift\nPATH=\"" +
                               tools +
                               ":/usr/bin:/bin\"\n"
                               "export PATH\nexec /bin/sh -c \"$1\"");
    if (with_tools) {
      for (const char* t : {"claude", "codex", "opencode", "gemini", "grok"}) {
        write(tools + "/" + t, version_script(t));
      }
      write(root + "/.local/bin/kimi", version_script("kimi"));
      write(root + "/.vessa-taskwright/bin/radaro", version_script("radaro"));
    }
    ::setenv("HOME", root.c_str(), 1);
    ::setenv("SHELL", (root + "/shell").c_str(), 1);
  }
  ~FakeHome() { std::filesystem::remove_all(root); }

  std::string version_script(const std::string& name) const {
    return "echo x >> '" + counter + "'\necho '" + name + " 1.0.0'";
  }
  static void write(const std::string& path, const std::string& body) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    ::chmod(path.c_str(), 0755);
  }
  size_t starts() const {
    std::ifstream in(counter);
    size_t n = 0;
    std::string line;
    while (std::getline(in, line)) ++n;
    std::filesystem::remove(counter);
    return n;
  }
};

void run(benchmark::State& state, bool with_tools, bool sequential) {
  FakeHome home(with_tools);
  size_t starts = 0;
  for (auto _ : state) {
    if (sequential) {
      for (const char* t : {"claude", "codex", "opencode", "gemini", "grok"}) {
        if (auto p = vessa::commands::cli::whichViaLoginShell(t))
          benchmark::DoNotOptimize(vessa::commands::cli::runVersion(*p));
      }
      for (const char* rel : {"/.local/bin/kimi", "/.vessa-taskwright/bin/radaro"}) {
        std::string p = home.root + rel;
        if (vessa::paths::is_executable_file(p)) {
          benchmark::DoNotOptimize(vessa::commands::cli::runVersion(p));
        } else {
          benchmark::DoNotOptimize(vessa::commands::cli::whichViaLoginShell("x"));
        }
      }
    } else {
      benchmark::DoNotOptimize(vessa::commands::cli::detect_all());
    }
    state.PauseTiming();
    starts += home.starts();
    state.ResumeTiming();
  }
  state.counters["processes"] =
      benchmark::Counter(static_cast<double>(starts) / static_cast<double>(state.iterations()));
}

void BM_CliDetect_NoTools(benchmark::State& s) { run(s, false, false); }
void BM_CliDetect_AllSevenFaked(benchmark::State& s) { run(s, true, false); }
void BM_Sequential_NoTools(benchmark::State& s) { run(s, false, true); }
void BM_Sequential_AllSevenFaked(benchmark::State& s) { run(s, true, true); }
BENCHMARK(BM_CliDetect_NoTools)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CliDetect_AllSevenFaked)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Sequential_NoTools)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Sequential_AllSevenFaked)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
