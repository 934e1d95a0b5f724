// The native side of the page bridge: page messages in, results and events out.
#include "bridge/bridge.hpp"

#include <cmath>
#include <limits>

#include "bridge/js.hpp"
#include "commands/command_registry.hpp"
#include "support/dispatch.hpp"

namespace vessa {
namespace {

// The page's number as a signed integer: fractions truncated, out-of-range values saturated.
std::optional<int64_t> request_id(const json& v) {
  if (v.is_number_integer()) return v.get<int64_t>();
  if (v.is_number_unsigned()) {
    auto u = v.get<uint64_t>();
    return u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())
               ? std::numeric_limits<int64_t>::max()
               : static_cast<int64_t>(u);
  }
  if (v.is_number_float()) {
    double d = std::trunc(v.get<double>());
    if (std::isnan(d)) return std::nullopt;
    if (d >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
    if (d <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(d);
  }
  return std::nullopt;
}

}  // namespace

std::shared_ptr<Bridge> Bridge::create(std::shared_ptr<CommandRegistry> registry) {
  return std::shared_ptr<Bridge>(new Bridge(std::move(registry)));
}

void Bridge::set_web_view(std::weak_ptr<ScriptEvaluator> web_view) {
  std::lock_guard lock(web_view_mutex_);
  web_view_ = std::move(web_view);
}

void Bridge::on_message(const json& raw) {
  if (raw.is_string()) {
    on_message_text(raw.get_ref<const std::string&>());
    return;
  }
  handle_message(raw);
}

void Bridge::on_message_text(std::string_view text) {
  // Parsed once: a string inside the text is not read as a message again.
  if (auto parsed = parse_json(text)) handle_message(*parsed);
}

void Bridge::handle_message(const json& body) {
  if (!body.is_object()) return;
  const auto& fields = body.get_ref<const json::object_t&>();
  auto field = [&fields](const char* key) -> const json* {
    auto it = fields.find(key);
    return it == fields.end() ? nullptr : &it->second;
  };
  const json* type = field("type");
  if (!type || !type->is_string() || type->get_ref<const std::string&>() != "invoke") return;
  const json* req = field("reqId");
  if (!req) return;
  auto id = request_id(*req);
  if (!id) return;
  const json* cmd = field("cmd");
  if (!cmd || !cmd->is_string()) return;
  // A reference, not a copy: arguments can be megabytes and this is the main thread.
  static const json kNoArgs = json::object();
  const json* args = field("args");
  if (!args || !args->is_object()) args = &kNoArgs;

  std::weak_ptr<Bridge> weak = weak_from_this();
  const int64_t req_id = *id;
  registry_->dispatch(cmd->get_ref<const std::string&>(), *args,
                      [weak, req_id](const CommandResult& result) {
                        if (auto self = weak.lock()) self->resolve(req_id, result);
                      });
}

std::string Bridge::resolve_script(int64_t req_id, const CommandResult& result) {
  std::string data;
  if (result.ok()) {
    encode_json_into(data, result.value());
  } else {
    encode_json_string_into(data, result.error());
  }
  const std::string id = std::to_string(req_id);
  const char* flag = result.ok() ? "true" : "false";
  std::string s;
  if (data.size() > kLargeDataBytes) {
    data = JS::ascii_only(std::move(data));
    s.reserve(data.size() + 48);
    s.append("window.__VESSA_RESOLVE1([").append(id).append(",").append(flag).append(",");
    s.append(data).append("]);");
  } else {
    s.reserve(data.size() + 48);
    s.append("window.__VESSA_RESOLVE(").append(id).append(", ").append(flag).append(", ");
    s.append(data).append(");");
  }
  return s;
}

std::string Bridge::emit_script(const std::string& event, const json& payload) {
  std::string name;
  encode_json_string_into(name, event);
  std::string data;
  encode_json_into(data, payload);
  std::string s;
  if (data.size() > kLargeDataBytes) {
    data = JS::ascii_only(std::move(data));
    s.reserve(name.size() + data.size() + 32);
    s.append("window.__VESSA_EMIT1([").append(JS::ascii_only(std::move(name))).append(",");
    s.append(data).append("]);");
  } else {
    s.reserve(name.size() + data.size() + 32);
    s.append("window.__VESSA_EMIT(").append(name).append(", ").append(data).append(");");
  }
  return s;
}

std::string Bridge::join_scripts(const std::vector<std::string>& scripts, size_t begin,
                                 size_t end) {
  size_t total = 0;
  for (size_t i = begin; i < end; ++i) total += scripts[i].size() + 16;
  std::string joined;
  joined.reserve(total);
  for (size_t i = begin; i < end; ++i) {
    // The line break ends any line comment a script might close with.
    joined.append("try{").append(scripts[i]).append("\n}catch(e){}");
  }
  return joined;
}

void Bridge::resolve(int64_t req_id, const CommandResult& result) {
  run(resolve_script(req_id, result));
}

void Bridge::emit(const std::string& event, const json& payload) {
  run(emit_script(event, payload));
}

void Bridge::run(std::string script) {
  std::lock_guard lock(batch_mutex_);
  batch_.push_back(std::move(script));
  if (flush_scheduled_) return;
  flush_scheduled_ = true;
  std::weak_ptr<Bridge> weak = weak_from_this();
  dispatch::main_async([weak] {
    if (auto self = weak.lock()) self->flush();
  });
}

// Runs of small scripts become one evaluation each (cut at kMaxBatchBytes); a large script is
// evaluated on its own, unwrapped, so the engine can take its JSON fast path. Evaluations reach
// the page in the order they are requested, so the scripts' order holds.
void Bridge::flush() {
  std::vector<std::string> scripts;
  {
    std::lock_guard lock(batch_mutex_);
    scripts.swap(batch_);
    flush_scheduled_ = false;
  }
  std::shared_ptr<ScriptEvaluator> view;
  {
    std::lock_guard lock(web_view_mutex_);
    view = web_view_.lock();
  }
  if (!view) return;
  size_t run_begin = 0;
  size_t run_bytes = 0;
  auto evaluate_run = [&](size_t end) {
    if (end - run_begin == 1) {
      view->evaluate_script(scripts[run_begin]);
    } else if (end > run_begin) {
      view->evaluate_script(join_scripts(scripts, run_begin, end));
    }
    run_begin = end;
    run_bytes = 0;
  };
  auto is_resolve = [&](size_t i) { return scripts[i].rfind("window.__VESSA_RESOLVE", 0) == 0; };
  for (size_t i = 0; i < scripts.size(); ++i) {
    const size_t size = scripts[i].size();
    if (size > kLargeDataBytes) {
      evaluate_run(i);
      view->evaluate_script(scripts[i]);
      run_begin = i + 1;
      continue;
    }
    // The page runs promise continuations when an evaluation ends: an answer followed by an
    // event ends its evaluation, so code awaiting the answer still runs before that event's
    // listeners, as it would with one evaluation per script.
    if (run_bytes + size > kMaxBatchBytes || (i > run_begin && is_resolve(i - 1) && !is_resolve(i)))
      evaluate_run(i);
    run_bytes += size;
  }
  evaluate_run(scripts.size());
}

}  // namespace vessa
