// The native side of the page bridge: page messages in, results and events out.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

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
  /// The same for a message given as its JSON text (a posted string, or an object the web view
  /// serialised); text that is not a JSON object is ignored.
  void on_message_text(std::string_view text);

  /// Pushes `event` with `payload` into the page. Any thread; dropped when the page is gone.
  void emit(const std::string& event, const json& payload);

  /// Answers request `req_id` with `result`. Any thread.
  void resolve(int64_t req_id, const CommandResult& result);

  /// Has the web view evaluate `script` on the main queue, never inside the caller's call.
  /// Every script run before the main queue gets to them is evaluated in one go, in order;
  /// an exception in one does not stop the ones after it.
  void run(std::string script);

  const std::shared_ptr<CommandRegistry>& registry() const { return registry_; }

  /// Encoded data longer than this travels in the one-argument form (window.__VESSA_RESOLVE1 /
  /// __VESSA_EMIT1 with one pure-ASCII JSON array), which the engine parses on its JSON fast
  /// path; shorter data keeps the three-argument text. Chosen by measurement (bench/).
  static constexpr size_t kLargeDataBytes = 12 * 1024;
  /// Joined batches are cut at about this size so one turn never builds a huge script.
  static constexpr size_t kMaxBatchBytes = 256 * 1024;

  /// The script texts, exposed for tests and benchmarks.
  static std::string resolve_script(int64_t req_id, const CommandResult& result);
  static std::string emit_script(const std::string& event, const json& payload);
  /// One evaluation for several small scripts: each in its own try block, in order.
  static std::string join_scripts(const std::vector<std::string>& scripts, size_t begin,
                                  size_t end);

 private:
  explicit Bridge(std::shared_ptr<CommandRegistry> registry) : registry_(std::move(registry)) {}
  void handle_message(const json& body);
  void flush();

  std::shared_ptr<CommandRegistry> registry_;
  std::mutex web_view_mutex_;
  std::weak_ptr<ScriptEvaluator> web_view_;
  std::mutex batch_mutex_;
  std::vector<std::string> batch_;  // scripts waiting for the main queue, in order
  bool flush_scheduled_ = false;
};

}  // namespace vessa
