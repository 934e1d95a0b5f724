// What the bridge needs from a web view: evaluating script text in its page.
#pragma once

#include <cstddef>
#include <string>

namespace vessa::bridge {

class ScriptEvaluator {
 public:
  virtual ~ScriptEvaluator() = default;
  /// Evaluates `script` in the main frame of the page currently shown, asynchronously,
  /// ignoring its value and errors. Main thread only.
  virtual void evaluate_script(const std::string& script) = 0;

  /// True when the page can be handed values as memory files (hand_value). Fixed for the
  /// evaluator's life; any thread.
  virtual bool takes_values() const { return false; }
  /// Hands the page the JSON text in memory file `fd` (NUL-terminated), parked under `token`
  /// for the next evaluation that names it. Main thread only; only when takes_values().
  virtual void hand_value(const std::string& /*token*/, int /*fd*/) {}
  /// Hands the page the first `size` bytes of memory file `fd`, parked under `token` as an
  /// ArrayBuffer like hand_value's values. Main thread only; only when takes_values().
  virtual void hand_bytes(const std::string& /*token*/, int /*fd*/, size_t /*size*/) {}
};

}  // namespace vessa::bridge
