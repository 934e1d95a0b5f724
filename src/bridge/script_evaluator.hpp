// What the bridge needs from a web view: evaluating script text in its page.
#pragma once

#include <string>

namespace vessa {

class ScriptEvaluator {
 public:
  virtual ~ScriptEvaluator() = default;
  /// Evaluates `script` in the main frame of the page currently shown, asynchronously,
  /// ignoring its value and errors. Main thread only.
  virtual void evaluate_script(const std::string& script) = 0;
};

}  // namespace vessa
