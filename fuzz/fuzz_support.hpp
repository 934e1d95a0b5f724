// What every fuzz target shares: a failed check that libFuzzer reports, and a private HOME.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/json.hpp"

namespace vessa::fuzz {

/// Stops the run with `what` when `ok` is false; libFuzzer then saves the input.
inline void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

/// A fresh folder under the temporary folder, made once per process.
inline std::filesystem::path scratch_dir(const char* name) {
  std::string pattern = (std::filesystem::temp_directory_path() / name).string() + "-XXXXXX";
  check(mkdtemp(pattern.data()) != nullptr, "cannot make a scratch folder");
  return pattern;
}

/// Points HOME and the XDG folders into a scratch folder, so no target touches the user's.
inline void isolate_home() {
  const std::filesystem::path home = scratch_dir("vessa-fuzz-home");
  setenv("HOME", home.c_str(), 1);
  for (const char* var : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"}) {
    setenv(var, (home / var).c_str(), 1);
  }
}

/// `value` as the encoder writes it back: numbers that are not finite become null.
inline json finite_only(json value) {
  if (value.is_number_float() && !std::isfinite(value.get<double>())) return nullptr;
  if (value.is_structured()) {
    for (auto& item : value) item = finite_only(std::move(item));
  }
  return value;
}

}  // namespace vessa::fuzz
