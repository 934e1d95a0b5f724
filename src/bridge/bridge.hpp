// The native side of the page bridge: page messages in, results and events out.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "bridge/command_result.hpp"
#include "bridge/script_evaluator.hpp"
#include "support/json.hpp"

namespace vessa {

class CommandRegistry;

class Bridge : public std::enable_shared_from_this<Bridge> {
 public:
  static std::shared_ptr<Bridge> create(std::shared_ptr<CommandRegistry> registry);

  /// The page the bridge answers; held weakly so a closed web view is simply gone.
  void set_web_view(std::weak_ptr<ScriptEvaluator> web_view);

  /// One message posted by the page to the "vessa" handler. Malformed messages are ignored
  /// silently. A body that is a string is read as the JSON text of the message. Main thread.
  void on_message(const json& body);

  /// Pushes `event` with `payload` into the page. Any thread; dropped when the page is gone.
  void emit(const std::string& event, const json& payload);

  /// Answers request `req_id` with `result`. Any thread.
  void resolve(int64_t req_id, const CommandResult& result);

  /// Has the web view evaluate `script` on the main queue, never inside the caller's call.
  void run(std::string script);

  const std::shared_ptr<CommandRegistry>& registry() const { return registry_; }

  /// The script texts, exposed for tests and benchmarks.
  static std::string resolve_script(int64_t req_id, const CommandResult& result);
  static std::string emit_script(const std::string& event, const json& payload);

 private:
  explicit Bridge(std::shared_ptr<CommandRegistry> registry) : registry_(std::move(registry)) {}

  std::shared_ptr<CommandRegistry> registry_;
  std::mutex web_view_mutex_;
  std::weak_ptr<ScriptEvaluator> web_view_;
};

}  // namespace vessa
