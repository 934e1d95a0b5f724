// `vessa --selftest-commands`: probes one command of every family, no window.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "commands/command_result.hpp"
#include "support/json.hpp"

namespace vessa::commands {
class CommandRegistry;
}

namespace vessa::selftest {

/// One harmless, read-only command and the family it should reach.
struct Probe {
  std::string command;
  json args;
  std::string family;
};

/// What one probe's completion said.
struct ProbeOutcome {
  bool reached = false;
  std::string detail = "timeout";
};

class CommandSelfTest {
 public:
  struct Options {
    /// How long one probe may take before it counts as unreachable.
    std::chrono::milliseconds probe_timeout{20000};
    /// The release manifest to report; nullopt leaves the manifest line out.
    std::optional<std::string> manifest_url;
  };

  /// The probe list, in report order.
  static const std::vector<Probe>& probes();

  /// Maps a completion to its outcome: reached unless the dispatcher found no handler.
  static ProbeOutcome outcome_of(const commands::CommandResult& result);

  /// "  ✓ <family padded to 11> <command> → <detail>".
  static std::string report_line(const Probe& probe, const ProbeOutcome& outcome);

  /// "  bundle CFBundleShortVersionString: <version>" for the running bundle.
  static std::string bundle_line();

  /// "  <host> latest.json version: <version>" when `url` answers with a JSON object;
  /// nullopt when the fetch, the parse or the object check fails.
  static std::optional<std::string> manifest_line(const std::string& url);

  /// Sends every probe through `registry` one after another (calling thread; no main loop
  /// needed, completions may come from any thread), appends the whole report to `report` and
  /// returns the exit status: 0 when every probe reached a handler, else 1.
  static int run(commands::CommandRegistry& registry, std::string& report, const Options& options);

  /// The command-line mode: a registry without an application, the report on standard output.
  /// Test hook: VESSA_SELFTEST_DISABLE_FAMILY (comma-separated names such as "handleSkyvern")
  /// takes those families out of the chain, to see the report of an unwired family.
  static int run();
};

/// Runs the command self-test, printing its report; returns the exit status.
int run_command_self_test();

}  // namespace vessa::selftest
