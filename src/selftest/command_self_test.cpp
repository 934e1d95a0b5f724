// `vessa --selftest-commands`: probes one command of every family, no window.
#include "selftest/command_self_test.hpp"

#include <glib.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string_view>

#include "commands/command_registry.hpp"
#include "support/bundle.hpp"
#include "support/glib_ptr.hpp"
#include "support/http.hpp"
#include "support/utf8.hpp"
#include "updater/manifest.hpp"

namespace vessa::selftest {

using commands::AppContext;
using commands::CommandRegistry;
using commands::CommandResult;

namespace {

constexpr std::string_view kUnwiredMarker = "not implemented in the Swift shell";
constexpr size_t kErrorChars = 60;
constexpr size_t kLabelWidth = 11;
constexpr auto kManifestTimeout = std::chrono::seconds(15);

// The first `count` code points of valid UTF-8 text (never half a character).
std::string first_code_points(const std::string& text, size_t count) {
  size_t at = 0;
  for (size_t seen = 0; at < text.size() && seen < count; ++seen) {
    ++at;
    while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
  }
  return text.substr(0, at);
}

std::string host_of(const std::string& url) {
  GUriPtr uri(g_uri_parse(url.c_str(), G_URI_FLAGS_NONE, nullptr));
  if (!uri) return {};
  const char* host = g_uri_get_host(uri.get());
  return host ? host : "";
}

// Written by a probe's completion (any thread), read after the wait.
struct ProbeState {
  std::mutex mutex;
  std::condition_variable changed;
  bool settled = false;
  ProbeOutcome outcome;
};

}  // namespace

const std::vector<Probe>& CommandSelfTest::probes() {
  static const std::vector<Probe> list = {
      {"__ping", json::object(), "bridge"},
      {"config_get", json{{"key", "__selftest_absent"}}, "config"},
      {"cli_detect", json::object(), "cli"},
      {"git_detect_tools", json::object(), "git"},
      {"read_obsidian_vault", json{{"path", "/nonexistent-selftest-path"}}, "fs"},
      {"list_running_agents", json::object(), "agent"},
      {"convex_status", json::object(), "convex"},
      {"get_device_identity", json::object(), "device"},
      {"taskwright_status", json::object(), "taskwright"},
      {"taskwright_storage_info", json::object(), "radaro"},
      {"skyvern_status", json::object(), "skyvern"},
  };
  return list;
}

ProbeOutcome CommandSelfTest::outcome_of(const CommandResult& result) {
  if (result.ok()) return {true, "ok"};
  if (result.error().find(kUnwiredMarker) != std::string::npos) return {false, "UNWIRED"};
  return {true, "handled-error: " + first_code_points(utf8_lossy(result.error()), kErrorChars)};
}

std::string CommandSelfTest::report_line(const Probe& probe, const ProbeOutcome& outcome) {
  std::string label = probe.family;
  if (label.size() < kLabelWidth) label.append(kLabelWidth - label.size(), ' ');
  return std::string("  ") + (outcome.reached ? "\u2713" : "\u2717") + " " + label + " " +
         probe.command + " \u2192 " + outcome.detail;
}

std::string CommandSelfTest::bundle_line() {
  auto version = string_arg(bundle::info(), "CFBundleShortVersionString");
  return "  bundle CFBundleShortVersionString: " +
         version.value_or("nil \u2014 not running from a .app");
}

std::optional<std::string> CommandSelfTest::manifest_line(const std::string& url) {
  // The status code is not examined: whatever body arrives is read as the manifest.
  auto response = http::get(url, kManifestTimeout);
  if (!response) return std::nullopt;
  auto manifest = parse_json(response->body);
  if (!manifest || !manifest->is_object()) return std::nullopt;
  auto version = string_arg(*manifest, "version");
  return "  " + host_of(url) + " latest.json version: " + version.value_or("?");
}

int CommandSelfTest::run(CommandRegistry& registry, std::string& report, const Options& options) {
  const auto& list = probes();
  std::vector<std::string> lines;
  std::vector<std::string> unreachable;
  for (const auto& probe : list) {
    auto state = std::make_shared<ProbeState>();
    registry.dispatch(probe.command, probe.args, [state](const CommandResult& result) {
      ProbeOutcome outcome = outcome_of(result);
      {
        std::scoped_lock lock(state->mutex);
        // A completion after the time-out does not change the report.
        if (state->settled) return;
        state->outcome = std::move(outcome);
        state->settled = true;
      }
      state->changed.notify_all();
    });
    ProbeOutcome outcome;
    {
      std::unique_lock lock(state->mutex);
      if (!state->changed.wait_for(lock, options.probe_timeout, [&] { return state->settled; })) {
        state->settled = true;
        state->outcome = {false, "TIMEOUT"};
      }
      outcome = state->outcome;
    }
    if (!outcome.reached) unreachable.push_back(probe.command);
    lines.push_back(report_line(probe, outcome));
  }

  report += "VessaMac command self-test (" + std::to_string(list.size()) + " probes)\n";
  report += bundle_line() + "\n";
  if (options.manifest_url) {
    if (auto line = manifest_line(*options.manifest_url)) report += *line + "\n";
  }
  for (const auto& line : lines) report += line + "\n";
  if (unreachable.empty()) {
    report += "\nAll probes reached a handler.\n";
    return 0;
  }
  std::string joined;
  for (const auto& cmd : unreachable) joined += (joined.empty() ? "" : ", ") + cmd;
  report += "\nUNREACHABLE COMMANDS: " + joined + "\n";
  report += "Chain the owning handler in CommandRegistry.dispatch.\n";
  return 1;
}

int CommandSelfTest::run() {
  // No application in this mode: families that need one degrade as they do in tests.
  auto registry = std::make_shared<CommandRegistry>(std::weak_ptr<AppContext>{});
  if (const char* disabled = std::getenv("VESSA_SELFTEST_DISABLE_FAMILY")) {
    std::string_view names = disabled;
    while (!names.empty()) {
      size_t comma = names.find(',');
      std::string_view name = names.substr(0, comma);
      if (!name.empty()) registry->set_family_disabled_for_testing(std::string(name), true);
      names = comma == std::string_view::npos ? std::string_view() : names.substr(comma + 1);
    }
  }
  Options options;
  options.manifest_url = updater::manifestURL();
  std::string report;
  int status = run(*registry, report, options);
  std::fwrite(report.data(), 1, report.size(), stdout);
  std::fflush(stdout);
  return status;
}

int run_command_self_test() { return CommandSelfTest::run(); }

}  // namespace vessa::selftest
