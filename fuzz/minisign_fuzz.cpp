// minisign keys and signatures: any text is read or rejected with a reason, and a signature
// that holds for the archive never holds for an archive one byte different.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "updater/minisign.hpp"

namespace {

using vessa::fuzz::check;

// A key made for these runs only; corpus/minisign holds its signature of kArchive.
constexpr const char* kPublicKey = "RWQ0guQyWDoySnJwLEnOmags4y95T/0Yy/5VTDNH9nkHESGmv3/eXSUQ";
constexpr const char* kArchive = "vessa release archive\n";

struct Files {
  std::string signed_path;
  std::string altered_path;
  vessa::updater::PublicKey key;
};

const Files& files() {
  static const Files f = [] {
    const auto dir = vessa::fuzz::scratch_dir("vessa-fuzz-minisign");
    Files made{(dir / "archive.tar.gz").string(), (dir / "altered.tar.gz").string(), {}};
    std::ofstream(made.signed_path, std::ios::binary) << kArchive;
    std::string altered = kArchive;
    altered[0] = 'V';
    std::ofstream(made.altered_path, std::ios::binary) << altered;
    auto key = vessa::updater::parse_public_key(kPublicKey);
    check(key.has_value(), "the fuzz key does not parse");
    made.key = *key;
    return made;
  }();
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const Files& f = files();

  if (auto key = vessa::updater::parse_public_key(text); !key) {
    check(!key.error().empty(), "a rejected key without a reason");
  }
  auto verdict = vessa::updater::verify_file_signature(f.signed_path, text, f.key);
  if (!verdict) {
    check(!verdict.error().empty(), "a rejected signature without a reason");
    return 0;
  }
  check(!vessa::updater::verify_file_signature(f.altered_path, text, f.key),
        "a signature holds for an altered archive");
  return 0;
}
