// A temporary HOME (and XDG folders inside it) for a benchmark's whole run, removed at the end.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace vessa::bench {

struct BenchHome {
  std::string root;
  BenchHome() {
    char tmpl[] = "/tmp/vessa-bench-XXXXXX";
    root = ::mkdtemp(tmpl);
    ::setenv("HOME", root.c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root + "/.local/share").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root + "/.config").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (root + "/.cache").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (root + "/.local/state").c_str(), 1);
  }
  ~BenchHome() { std::filesystem::remove_all(root); }
  BenchHome(const BenchHome&) = delete;
  BenchHome& operator=(const BenchHome&) = delete;
};

}  // namespace vessa::bench
