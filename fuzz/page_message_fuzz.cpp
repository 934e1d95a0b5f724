// Page messages: whatever the page posts, a well-formed invoke is answered exactly once and
// carries its arguments back intact; anything else is ignored.
#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/bridge.hpp"
#include "commands/command_registry.hpp"
#include "fuzz_support.hpp"
#include "support/json.hpp"

namespace {

using vessa::json;

class RecordingView : public vessa::bridge::ScriptEvaluator {
 public:
  void evaluate_script(const std::string& script) override { scripts.push_back(script); }
  std::vector<std::string> scripts;
};

struct Harness {
  std::shared_ptr<vessa::commands::CommandRegistry> registry;
  std::shared_ptr<vessa::bridge::Bridge> bridge;
  std::shared_ptr<RecordingView> view = std::make_shared<RecordingView>();
};

Harness& harness() {
  static Harness* h = [] {
    vessa::fuzz::isolate_home();
    g_main_context_acquire(g_main_context_default());
    auto* made = new Harness;
    made->registry = std::make_shared<vessa::commands::CommandRegistry>(
        std::weak_ptr<vessa::commands::AppContext>());
    // One family takes every command and echoes its arguments: no real work, no files.
    made->registry->set_family_override_for_testing(
        "handleNative",
        [](const std::string&, const json& args, const vessa::commands::Completion& done) {
          done(vessa::commands::CommandResult::success(args));
          return true;
        });
    made->bridge = vessa::bridge::Bridge::create(made->registry);
    made->bridge->set_web_view(made->view);
    // Every message is its own burst, so its answer is evaluated before the call returns.
    made->bridge->set_burst_gap_for_testing(0);
    return made;
  }();
  return *h;
}

// The value carried by the one answer script.
json answered_value(const std::string& script) {
  constexpr std::string_view kBatch = "window.__VESSA_BATCH(";
  constexpr std::string_view kSingle = "window.__VESSA_RESOLVE(";
  vessa::fuzz::check(script.size() > 2 && script.ends_with(");"), "answer script unterminated");
  if (script.starts_with(kBatch)) {
    auto items = vessa::parse_json(
        std::string_view(script).substr(kBatch.size(), script.size() - kBatch.size() - 2));
    vessa::fuzz::check(items && items->is_array() && items->size() == 1, "batch is not one answer");
    return (*items)[0].at(2);
  }
  vessa::fuzz::check(script.starts_with(kSingle), "unknown answer script");
  // "window.__VESSA_RESOLVE(<id>, true, <value>);"
  size_t value_at = script.find(", true, ");
  vessa::fuzz::check(value_at != std::string::npos, "echo answered as a failure");
  auto value = vessa::parse_json(
      std::string_view(script).substr(value_at + 8, script.size() - value_at - 8 - 2));
  vessa::fuzz::check(value.has_value(), "answer value is not JSON");
  return *value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Harness& h = harness();
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  h.view->scripts.clear();
  h.bridge->on_message_text(text);
  while (g_main_context_iteration(nullptr, FALSE)) {
  }

  auto message = vessa::parse_json(text);
  auto is = [&message](const char* key, bool (json::*kind)() const noexcept) {
    auto it = message->find(key);
    return it != message->end() && ((*it).*kind)();
  };
  const bool invoke = message && message->is_object() && is("type", &json::is_string) &&
                      (*message)["type"] == "invoke" && is("reqId", &json::is_number) &&
                      is("cmd", &json::is_string);
  vessa::fuzz::check(h.view->scripts.size() == (invoke ? 1u : 0u), "answered not exactly once");
  if (!invoke) return 0;
  // Arguments that are not an object reach the command as an empty object.
  json expected = json::object();
  if (auto args = message->find("args"); args != message->end() && args->is_object()) {
    expected = *args;
  }
  expected = vessa::fuzz::finite_only(std::move(expected));
  vessa::fuzz::check(answered_value(h.view->scripts[0]) == expected, "arguments came back changed");
  return 0;
}
