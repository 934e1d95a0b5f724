// Installing a coding CLI with its vendor's published install command.
#include "commands/cli_install.hpp"

#include <array>
#include <atomic>
#include <string_view>
#include <thread>
#include <utility>

#include "support/lines.hpp"
#include "support/login_path.hpp"
#include "support/login_shell.hpp"
#include "support/subprocess.hpp"

namespace vessa::commands::cli {
namespace {

// Tool name → command line. Only these fixed lines ever reach the shell.
constexpr std::array<std::pair<std::string_view, std::string_view>, 5> kInstallTable = {{
    {"claude", "npm install -g @anthropic-ai/claude-code"},
    {"codex", "npm install -g @openai/codex"},
    {"opencode", "go install github.com/opencode-ai/opencode@latest"},
    {"grok", "curl -fsSL https://x.ai/cli/install.sh | bash"},
    {"kimi", "curl -fsSL https://code.kimi.com/kimi-code/install.sh | bash"},
}};

constexpr auto kInstallLimit = std::chrono::seconds(900);
constexpr auto kOutputGrace = std::chrono::seconds(5);
// Far beyond any installer's report; keeps a runaway one from exhausting memory.
constexpr size_t kMaxCapture = size_t{16} << 20;

std::atomic<long long> g_limit_override_ms{0};

std::chrono::milliseconds install_limit() {
  long long ms = g_limit_override_ms.load();
  return ms > 0 ? std::chrono::milliseconds(ms)
                : std::chrono::duration_cast<std::chrono::milliseconds>(kInstallLimit);
}

// Trimmed text, or empty when it is not valid UTF-8.
std::string usable_text(const std::string& bytes) {
  return is_valid_utf8(bytes) ? trim(bytes) : std::string();
}

}  // namespace

std::optional<std::string> install_script(const std::string& tool) {
  for (const auto& [name, script] : kInstallTable) {
    if (tool == name) return std::string(script);
  }
  return std::nullopt;
}

void set_install_limit_for_testing(std::optional<std::chrono::milliseconds> limit) {
  g_limit_override_ms.store(limit ? limit->count() : 0);
}

CommandResult runInstaller(const std::string& tool, const std::string& script) {
  proc::Options o;
  o.argv = {login_shell(), "-l", "-c", script};
  auto env = proc::current_environment();
  env["PATH"] = launch::enrichedPath();
  o.env = std::move(env);
  o.in = proc::Stdio::null();
  o.out = proc::Stdio::pipe();
  o.err = proc::Stdio::pipe();
  // Its own process group, so a stopped install takes npm, curl and the rest down with it.
  o.new_process_group = true;

  auto started = proc::Process::start(o);
  if (!started) return CommandResult::failure("Failed to run installer: " + started.error());
  auto process = *started;

  // Both pipes are read on their own thread while this one watches the clock.
  proc::RunOptions ro;
  ro.max_capture = kMaxCapture;
  // npm and friends may leave helpers holding the pipes after the shell has gone.
  ro.eof_wait_after_exit = std::chrono::duration_cast<std::chrono::milliseconds>(kOutputGrace);
  proc::Output output;
  std::thread reader([&] { output = proc::communicate(*process, ro); });

  auto status = process->wait_for(install_limit());
  if (!status) {
    // The whole install is stopped; its pipes then close or the reader's grace runs out.
    process->terminate(std::chrono::seconds(2));
    reader.join();
    return CommandResult::failure("Installation failed: timed out installing " + tool);
  }
  reader.join();
  if (status->success()) return CommandResult::success("Successfully installed " + tool);

  const auto& r = output;
  std::string reason = usable_text(r.err);
  if (reason.empty()) reason = usable_text(r.out);
  if (reason.empty()) {
    reason = "exit code " + std::to_string(status->exited ? status->code : status->signal);
  }
  return CommandResult::failure("Installation failed: " + reason);
}

}  // namespace vessa::commands::cli
