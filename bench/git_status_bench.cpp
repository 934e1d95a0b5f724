// git_status on a repository with 10,000 files and 1,000 changed: the whole query, the four git
// runs alone, and the parsing of the porcelain output alone.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "commands/git/git_command_shell.hpp"
#include "support/subprocess.hpp"

namespace {

using vessa::commands::git::GitCommandShell;

std::string g_scratch;  // removed at exit

void git(const std::string& dir, std::vector<std::string> args) {
  vessa::proc::Options o;
  o.argv = {"git", "-C", dir};
  o.argv.insert(o.argv.end(), args.begin(), args.end());
  auto r = vessa::proc::run(o);
  if (!r || !r->status.success()) std::abort();
}

void write(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path) << content;
}

// 10,000 committed files in 100 folders; then 400 modified, 200 staged, 100 deleted, 300 new.
const std::string& repo() {
  static const std::string dir = [] {
    std::string root = std::filesystem::temp_directory_path() / "vessa-bench-git-XXXXXX";
    if (::mkdtemp(root.data()) == nullptr) std::abort();
    g_scratch = root;
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(g_scratch, ec);
    });
    ::setenv("HOME", root.c_str(), 1);
    std::string r = root + "/repo";
    git(root, {"init", "-q", "-b", "main", r});
    git(r, {"config", "user.name", "Bench"});
    git(r, {"config", "user.email", "bench@vessa.invalid"});
    auto name = [&](int i) {
      return "src/dir " + std::to_string(i / 100) + "/file-" + std::to_string(i) + ".txt";
    };
    for (int i = 0; i < 10000; ++i) write(r + "/" + name(i), "line " + std::to_string(i) + "\n");
    git(r, {"add", "-A"});
    git(r, {"commit", "-q", "-m", "ten thousand files"});
    for (int i = 0; i < 400; ++i) write(r + "/" + name(i * 7), "changed\n");
    for (int i = 0; i < 200; ++i) {
      write(r + "/" + name(i * 11 + 3), "staged\n");
      git(r, {"add", name(i * 11 + 3)});
    }
    for (int i = 0; i < 100; ++i) std::filesystem::remove(r + "/" + name(i * 13 + 5));
    for (int i = 0; i < 300; ++i) write(r + "/new/n" + std::to_string(i) + ".txt", "new\n");
    return r;
  }();
  return dir;
}

void BM_GitStatusWhole(benchmark::State& state) {
  const std::string& r = repo();
  for (auto _ : state) benchmark::DoNotOptimize(GitCommandShell::status(r));
}
BENCHMARK(BM_GitStatusWhole)->Unit(benchmark::kMillisecond);

// The same four git runs without any parsing or result building.
void BM_GitStatusFourRunsOnly(benchmark::State& state) {
  const std::string& r = repo();
  for (auto _ : state) {
    benchmark::DoNotOptimize(GitCommandShell::run({"rev-parse", "--abbrev-ref", "HEAD"}, r, 30));
    benchmark::DoNotOptimize(GitCommandShell::run({"log", "-1", "--format=%B"}, r, 30));
    benchmark::DoNotOptimize(
        GitCommandShell::run({"rev-list", "--left-right", "--count", "HEAD...@{upstream}"}, r, 60));
    benchmark::DoNotOptimize(GitCommandShell::run(
        {"status", "--porcelain", "--untracked-files=all", "--no-renames", "-z"}, r, 120));
  }
}
BENCHMARK(BM_GitStatusFourRunsOnly)->Unit(benchmark::kMillisecond);

void BM_GitStatusParseOnly(benchmark::State& state) {
  std::string out =
      GitCommandShell::run({"status", "--porcelain", "--untracked-files=all", "--no-renames", "-z"},
                           repo(), 120)
          .out;
  for (auto _ : state) benchmark::DoNotOptimize(vessa::commands::git::parse_porcelain_z(out));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.size()));
}
BENCHMARK(BM_GitStatusParseOnly)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
