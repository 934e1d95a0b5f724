// Finding the coding CLIs and their versions for the page.
#include "commands/cli_detect.hpp"

#include <array>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "commands/cli_lookup.hpp"
#include "support/login_path.hpp"
#include "support/paths.hpp"

namespace vessa::commands::cli {
namespace {

// The enriched PATH costs a login shell: worked out once per detection, on first need.
class LazyPath {
 public:
  const std::string& get() {
    std::call_once(once_, [this] { value_ = launch::enrichedPath(); });
    return value_;
  }

 private:
  std::once_flag once_;
  std::string value_;
};

json installed_entry(const std::string& program, LazyPath& path) {
  auto version = runVersion(program, path.get());
  return json{{"installed", true}, {"version", version ? json(*version) : json(nullptr)}};
}

json detect_lazy(const std::string& name, LazyPath& path) {
  auto found = whichViaLoginShell(name);
  if (!found || found->empty()) return json{{"installed", false}};
  return installed_entry(*found, path);
}

json detect_kimi(const std::string& home, LazyPath& path) {
  for (const char* rel : {"/.kimi-code/bin/kimi", "/.local/bin/kimi", "/.kimi/bin/kimi"}) {
    std::string candidate = home + rel;
    if (paths::is_executable_file(candidate)) return installed_entry(candidate, path);
  }
  return detect_lazy("kimi", path);
}

json detect_taskwright(const std::string& home, LazyPath& path) {
  std::string radaro = home + "/.vessa-taskwright/bin/radaro";
  if (paths::is_executable_file(radaro)) return installed_entry(radaro, path);
  return detect_lazy("radaro", path);
}

}  // namespace

json detect(const std::string& name, const std::string& path_value) {
  auto found = whichViaLoginShell(name);
  if (!found || found->empty()) return json{{"installed", false}};
  auto version = runVersion(*found, path_value);
  return json{{"installed", true}, {"version", version ? json(*version) : json(nullptr)}};
}

json detect_all() {
  const std::string home = paths::home_dir();
  LazyPath path;
  using Probe = std::pair<const char*, std::function<json()>>;
  std::vector<Probe> probes;
  for (const char* name : {"claude", "codex", "opencode", "gemini", "grok"}) {
    probes.emplace_back(name, [name, &path] { return detect_lazy(name, path); });
  }
  probes.emplace_back("kimi", [&] { return detect_kimi(home, path); });
  probes.emplace_back("taskwright", [&] { return detect_taskwright(home, path); });

  // Each probe waits on child processes: run them side by side.
  std::vector<json> entries(probes.size());
  std::vector<std::thread> threads;
  threads.reserve(probes.size());
  for (size_t i = 0; i < probes.size(); ++i) {
    threads.emplace_back([&, i] {
      try {
        entries[i] = probes[i].second();
      } catch (...) {
        entries[i] = json{{"installed", false}};
      }
    });
  }
  for (auto& t : threads) t.join();

  json result = json::object();
  for (size_t i = 0; i < probes.size(); ++i) result[probes[i].first] = std::move(entries[i]);
  return result;
}

}  // namespace vessa::commands::cli
