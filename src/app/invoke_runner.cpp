// `vessa --invoke CMD [ARGS_JSON]`: one command through the registry, no window. Events print
// as JSON lines while it runs, then the outcome.
#include "app/invoke_runner.hpp"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "bridge/ui_token.hpp"
#include "commands/agents/agent_leftovers.hpp"
#include "commands/command_registry.hpp"
#include "commands/command_result.hpp"
#include "executor/executor_supervisor.hpp"
#include "support/dispatch.hpp"
#include "support/json.hpp"
#include "support/lifecycle.hpp"

namespace vessa::app {

using commands::AppContext;
using commands::CommandRegistry;
using commands::CommandResult;
using executor::ExecutorSupervisor;

namespace {

void print_line(const std::string& line) {
  std::string out = line + "\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

class HeadlessApp : public AppContext {
 public:
  HeadlessApp()
      : executor_(ExecutorSupervisor::create([] {
          ExecutorSupervisor::Options executor;
          executor.ui_token = bridge::ui_token::value();
          return executor;
        }())) {}
  std::shared_ptr<ExecutorSupervisor> executor() override { return executor_; }
  void emit(const std::string& event, const json& payload) override {
    std::string line = "{\"event\":";
    encode_json_string_into(line, event);
    line += ",\"payload\":";
    encode_json_into(line, payload);
    line += "}";
    dispatch::main_async([line = std::move(line)] { print_line(line); });
  }
  void quit() override { quit_requested = true; }

  std::atomic<bool> quit_requested{false};

 private:
  std::shared_ptr<ExecutorSupervisor> executor_;
};

int usage(const std::string& why) {
  std::fprintf(stderr, "vessa --invoke: %s\nusage: vessa --invoke CMD [ARGS_JSON]\n", why.c_str());
  return 2;
}

}  // namespace

int run_invoke(int argc, char** argv) {
  int at = 1;
  while (at < argc && std::string_view(argv[at]) != "--invoke") ++at;
  if (at + 1 >= argc) return usage("missing command name");
  const std::string cmd = argv[at + 1];
  json args = json::object();
  if (at + 2 < argc) {
    auto parsed = parse_json_checked(argv[at + 2]);
    if (!parsed && parsed.error() == JsonError::kTooDeep) {
      return usage("ARGS_JSON nests deeper than " + std::to_string(kMaxJsonDepth) + " levels");
    }
    if (!parsed) return usage("ARGS_JSON is not valid JSON");
    if (!parsed->is_object()) return usage("ARGS_JSON must be a JSON object");
    args = std::move(*parsed);
  }
  if (at + 3 < argc) return usage("unexpected argument after ARGS_JSON");
  // It can start agents too: a dead shell's leftovers go first.
  commands::agents::end_leftover_groups();

  auto app = std::make_shared<HeadlessApp>();
  std::weak_ptr<HeadlessApp> weak_app = app;
  app->executor()->set_emit([weak_app](const std::string& event, const json& payload) {
    if (auto a = weak_app.lock()) a->emit(event, payload);
  });
  // Whatever this run started (an executor, say) is stopped before the process ends.
  lifecycle::on_will_terminate([executor = app->executor()] { executor->stop(); });
  auto registry = std::make_shared<CommandRegistry>(app);
  std::atomic<bool> finished{false};
  int status = 1;
  dispatch::main_async([&] {
    registry->dispatch(cmd, args, [&](const CommandResult& r) {
      std::string line;
      if (r.ok()) {
        line = R"({"ok":true,"value":)";
        encode_json_into(line, r.value());
      } else {
        line = R"({"ok":false,"error":)";
        encode_json_string_into(line, r.error());
      }
      line += "}";
      // Through the main queue, so events emitted before the outcome print before it.
      dispatch::main_async([&, line = std::move(line), ok = r.ok()] {
        print_line(line);
        status = ok ? 0 : 1;
        finished = true;
      });
    });
  });
  while (!finished && !app->quit_requested) {
    dispatch::run_main_until([&] { return finished || app->quit_requested; },
                             std::chrono::hours(24));
  }
  lifecycle::run_will_terminate();
  return status;
}

}  // namespace vessa::app
