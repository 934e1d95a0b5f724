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
  const json* body = &raw;
  json parsed;
  if (raw.is_string()) {
    auto p = parse_json(raw.get_ref<const std::string&>());
    if (!p) return;
    parsed = std::move(*p);
    body = &parsed;
  }
  if (!body->is_object()) return;
  auto type = body->find("type");
  if (type == body->end() || !type->is_string() || type->get_ref<const std::string&>() != "invoke")
    return;
  auto req = body->find("reqId");
  if (req == body->end()) return;
  auto id = request_id(*req);
  if (!id) return;
  auto cmd = body->find("cmd");
  if (cmd == body->end() || !cmd->is_string()) return;
  auto args_it = body->find("args");
  const json args = (args_it != body->end() && args_it->is_object()) ? *args_it : json::object();

  std::weak_ptr<Bridge> weak = weak_from_this();
  const int64_t req_id = *id;
  registry_->dispatch(cmd->get_ref<const std::string&>(), args,
                      [weak, req_id](const CommandResult& result) {
                        if (auto self = weak.lock()) self->resolve(req_id, result);
                      });
}

std::string Bridge::resolve_script(int64_t req_id, const CommandResult& result) {
  std::string s = "window.__VESSA_RESOLVE(";
  s += std::to_string(req_id);
  if (result.ok()) {
    s += ", true, ";
    encode_json_into(s, result.value());
  } else {
    s += ", false, ";
    encode_json_string_into(s, result.error());
  }
  s += ");";
  return s;
}

std::string Bridge::emit_script(const std::string& event, const json& payload) {
  std::string s = "window.__VESSA_EMIT(";
  encode_json_string_into(s, event);
  s += ", ";
  encode_json_into(s, payload);
  s += ");";
  return s;
}

void Bridge::resolve(int64_t req_id, const CommandResult& result) {
  run(resolve_script(req_id, result));
}

void Bridge::emit(const std::string& event, const json& payload) {
  run(emit_script(event, payload));
}

void Bridge::run(std::string script) {
  std::weak_ptr<Bridge> weak = weak_from_this();
  dispatch::main_async([weak, script = std::move(script)] {
    auto self = weak.lock();
    if (!self) return;
    std::shared_ptr<ScriptEvaluator> view;
    {
      std::lock_guard lock(self->web_view_mutex_);
      view = self->web_view_.lock();
    }
    if (view) view->evaluate_script(script);
  });
}

}  // namespace vessa
