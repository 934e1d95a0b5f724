// Content-scheme paths: whatever the address, only files inside the served folder come back.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "platform/content_scheme.hpp"

namespace {

namespace stdfs = std::filesystem;

void put(const stdfs::path& file, const std::string& content) {
  stdfs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << content;
}

// root/ holds the front end; beside it sit files no request may reach, some through links.
const stdfs::path& served_root() {
  static const stdfs::path root = [] {
    const stdfs::path base = vessa::fuzz::scratch_dir("vessa-fuzz-content");
    const stdfs::path inside = base / "root";
    for (const char* name :
         {"index.html", "app.js", "assets/logo.svg", "a b/c%20d.css", "deep/er/page.json"}) {
      put(inside / name, std::string("INSIDE:") + name);
    }
    put(base / "secret.txt", "OUTSIDE");
    put(base / "rootless/index.html", "OUTSIDE");
    stdfs::create_directory_symlink(base, inside / "up");
    stdfs::create_symlink(base / "secret.txt", inside / "secret.js");
    stdfs::create_directory_symlink("/etc", inside / "etc");
    return inside;
  }();
  return root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // The page asks with addresses on its own host; the raw text covers everything else.
  for (const std::string& uri : {"vessa://localhost/" + std::string(text), std::string(text)}) {
    auto answer = vessa::platform::serve_content_request(served_root(), uri);
    if (!answer.ok) continue;
    vessa::fuzz::check(answer.body.starts_with("INSIDE:"), "served a file outside the root");
  }
  return 0;
}
