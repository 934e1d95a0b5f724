// read_obsidian_vault on a generated vault of 10,000 notes (~20 MB): the reader plus encoding of
// the result, next to `cat` of the same files in the same run.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "commands/obsidian_vault.hpp"
#include "support/json.hpp"
#include "support/subprocess.hpp"

namespace {

constexpr int kNotes = 10000;
constexpr size_t kNoteBytes = 2000;

struct Vault {
  std::string root;
  std::vector<std::string> files;
};

const Vault& vault() {
  static const Vault v = [] {
    Vault out;
    std::string tmpl = std::filesystem::temp_directory_path().string() + "/vessa-bench-XXXXXX";
    out.root = ::mkdtemp(tmpl.data()) != nullptr ? tmpl : "/tmp/vessa-bench";
    out.root += "/Bench Vault";
    std::string filler;
    while (filler.size() < kNoteBytes) filler += "Some prose with a #tag and caf\xC3\xA9 words.\n";
    for (int i = 0; i < kNotes; ++i) {
      std::string dir = out.root + "/folder" + std::to_string(i % 50);
      std::filesystem::create_directories(dir);
      std::string path = dir + "/note " + std::to_string(i) + ".md";
      std::ofstream(path) << "---\ntags: [bench, n" << i << "]\n---\n# Note " << i << "\n"
                          << filler;
      out.files.push_back(path);
    }
    return out;
  }();
  return v;
}

void BM_ReadVaultAndEncode(benchmark::State& state) {
  const Vault& v = vault();
  size_t bytes = 0;
  for (auto _ : state) {
    auto notes = vessa::commands::obsidian::read(v.root);
    std::string encoded = vessa::encode_json(*notes);
    bytes = encoded.size();
    benchmark::DoNotOptimize(encoded.data());
  }
  state.counters["result_MB"] = static_cast<double>(bytes) / 1e6;
}
BENCHMARK(BM_ReadVaultAndEncode)->Unit(benchmark::kMillisecond);

void BM_CatSameFiles(benchmark::State& state) {
  const Vault& v = vault();
  vessa::proc::Options o;
  o.argv = {"cat"};
  o.argv.insert(o.argv.end(), v.files.begin(), v.files.end());
  o.out = vessa::proc::Stdio::pipe();
  o.err = vessa::proc::Stdio::null();
  vessa::proc::RunOptions ro;
  size_t bytes = 0;
  ro.on_stdout = [&bytes](std::string_view chunk) { bytes += chunk.size(); };
  for (auto _ : state) {
    bytes = 0;
    auto r = vessa::proc::run(o, ro);
    benchmark::DoNotOptimize(r);
  }
  state.counters["read_MB"] = static_cast<double>(bytes) / 1e6;
}
BENCHMARK(BM_CatSameFiles)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(std::filesystem::path(vault().root).parent_path(), ec);
  return 0;
}
