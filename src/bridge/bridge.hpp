// The native side of the page bridge: page messages in, results and events out.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/script_evaluator.hpp"
#include "commands/channel.hpp"
#include "commands/command_result.hpp"
#include "support/fs.hpp"
#include "support/json.hpp"

namespace vessa::commands {
class CommandRegistry;
}

namespace vessa::bridge {

class Bridge : public commands::CallbackSink, public std::enable_shared_from_this<Bridge> {
 public:
  static std::shared_ptr<Bridge> create(std::shared_ptr<commands::CommandRegistry> registry);

  /// The page the bridge answers; held weakly so a closed web view is simply gone.
  void set_web_view(std::weak_ptr<ScriptEvaluator> web_view);
  /// The page the bridge answers, or null when it is gone.
  std::shared_ptr<ScriptEvaluator> web_view();

  /// A message as the "vessa" handler received it from some frame of the web view. Only the
  /// app's own page holds the page key (its IPC script does, nothing else), so only a string
  /// starting with the key is read, as on_message_text of the rest (or of each message when
  /// the rest is several, each led by kRecordSeparator); anything else came from
  /// another document and is dropped (logged once per page load). Main thread.
  void on_posted_message(std::string_view posted);
  /// A message the web-process extension passed on from the app's page: `posted` is the page
  /// key and the JSON text of the message without its arguments; memory file `fd` (sealed)
  /// holds the arguments' JSON text ("body":"json") or the raw body ("body":"bytes"). Read
  /// like on_posted_message. Main thread; `fd` stays the caller's.
  void on_posted_file(std::string_view posted, int fd);
  /// The same for a posted value that is not a string: it cannot carry the key. Main thread.
  void on_foreign_message();
  /// The per-launch secret the app's IPC script puts before every message: 32 hex characters.
  const std::string& page_key() const { return page_key_; }

  /// A new page load was committed in the web view: answers to requests of earlier loads are
  /// dropped from now on. Main thread.
  void page_committed();

  /// One message of the app's page to the "vessa" handler. Malformed messages are ignored
  /// silently. A body that is a string is read as the JSON text of the message. Main thread.
  void on_message(const json& body);
  /// The same for a message given as its JSON text (a posted string, or an object the web view
  /// serialised); text that is not a JSON object is ignored.
  void on_message_text(std::string_view text);

  /// Pushes `event` with `payload` into the page. Any thread; dropped when the page is gone.
  void emit(const std::string& event, const json& payload);

  /// Answers request `req_id` of the current page load with `result`. Any thread.
  void resolve(int64_t req_id, const commands::CommandResult& result);

  /// Calls page callback `id` (window.__VESSA_CB) in page load `page_load`, in order with the
  /// answers and events; dropped when that load has gone. Any thread.
  void call_back(uint64_t page_load, int64_t id, json payload) override;
  bool page_current(uint64_t page_load) const override { return page_load == page_load_.load(); }

  /// Has the web view evaluate `script` on the main queue, never inside the caller's call, in
  /// order with the answers and events queued around it.
  void run(std::string script);

  const std::shared_ptr<commands::CommandRegistry>& registry() const { return registry_; }

  /// Deliveries queued in one main-loop turn travel together as one evaluation of
  /// window.__VESSA_BATCH with one pure-ASCII JSON array, which the engine parses on its JSON
  /// fast path. Each value is made pure ASCII on the caller's thread, sparing the main thread.
  /// Encoded data longer than this is handed to the page as bytes when the web view takes
  /// values (a memory file its web process parses straight into a page value), instead of
  /// travelling as script text. Chosen by measurement (bench/).
  static constexpr size_t kValueBytes = size_t{64} * 1024;
  /// Leads each message of a post that carries several (the page's calls of one turn).
  static constexpr char kRecordSeparator = '\x1e';
  /// Batches are cut at about this size so one turn never builds a huge script.
  static constexpr size_t kMaxBatchBytes = size_t{256} * 1024;

  /// Page messages closer together than this count as a burst whose answers wait for the
  /// main queue to travel together; a message after a longer pause has an answer given at
  /// once evaluated before its handler returns. Chosen by measurement (bench/).
  static constexpr int64_t kBurstGapUs = 120;
  /// Moves the burst gap (normally kBurstGapUs), for tests. Main thread.
  void set_burst_gap_for_testing(int64_t microseconds) { burst_gap_us_ = microseconds; }
  /// Moves the bytes threshold (normally kValueBytes), for tests and measurements.
  void set_value_bytes_for_testing(size_t bytes) { value_bytes_ = bytes; }

 private:
  // One answer, event or raw script waiting for the main queue.
  struct Delivery {
    enum class Kind { kResolve, kEmit, kCallback, kScript } kind = Kind::kScript;
    int64_t req_id = 0;      // the request, or the callback id
    uint64_t page_load = 0;  // the load that asked (answers and callbacks)
    bool ok = false;
    std::string name;   // the event's encoded name, pure ASCII
    std::string data;   // the encoded value, pure ASCII, or the script text
    std::string token;  // set when the value travels as the memory file below instead
    fs::UniqueFd value_file;
    std::optional<size_t> bytes_size;  // set when the file holds raw bytes, not JSON text
  };

  explicit Bridge(std::shared_ptr<commands::CommandRegistry> registry);
  /// One message's JSON text, answered with the next flush_answered().
  void read_message_text(std::string_view text);
  /// Where a message's arguments are freed once its command has them: freeing a tree of
  /// megabytes takes tens of milliseconds, which the page should not wait for.
  enum class FreeArgs { kHere, kInBackground };
  void handle_message(json body, commands::Bytes raw_body = {},
                      FreeArgs free_args = FreeArgs::kHere);
  void refuse_too_deep(const json& req, const json& cmd);
  void answer(uint64_t page_load, int64_t req_id, const commands::CommandResult& result);
  void answer_bytes(uint64_t page_load, int64_t req_id, const commands::Bytes& bytes);
  void enqueue(Delivery delivery);
  Delivery prepare(Delivery::Kind kind, std::string data);
  void flush();
  void flush_answered();
  static std::string batch_script(std::vector<Delivery>& items, size_t begin, size_t end);

  std::shared_ptr<commands::CommandRegistry> registry_;
  const std::string page_key_;
  // Committed page loads so far; an answer carries the one its request came from.
  std::atomic<uint64_t> page_load_{0};
  bool foreign_logged_ = false;  // main thread only
  std::mutex web_view_mutex_;
  std::weak_ptr<ScriptEvaluator> web_view_;
  std::mutex batch_mutex_;
  std::vector<Delivery> batch_;  // deliveries waiting for the main queue, in order
  bool flush_scheduled_ = false;
  // Arrival of the page's previous message (monotonic µs); main thread only. Messages closer
  // together than burst_gap_us_ count as one burst.
  int64_t last_message_us_ = 0;
  int64_t burst_gap_us_ = kBurstGapUs;
  std::atomic<size_t> value_bytes_{kValueBytes};
  std::atomic<bool> view_takes_values_{false};
};

}  // namespace vessa::bridge
