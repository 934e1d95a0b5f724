// The native side of the page bridge: page messages in, results and events out.
#include "bridge/bridge.hpp"

#include <fcntl.h>
#include <glib.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <limits>
#include <random>

#include "commands/command_registry.hpp"
#include "support/dispatch.hpp"
#include "support/json.hpp"
#include "support/log.hpp"

namespace vessa::bridge {

using commands::Bytes;
using commands::CommandRegistry;
using commands::CommandRequest;
using commands::CommandResult;

namespace {

// Values and event names are encoded as pure ASCII, in one pass on the caller's thread: the
// engine keeps such a script as 8-bit text and parses it faster than 16-bit text.
constexpr EncodeOptions kAscii{.ascii_only = true};

// The page's number as a signed integer: fractions truncated, out-of-range values saturated.
std::optional<int64_t> request_id(const json& v) {
  // Checked first: the JSON library counts an unsigned number as an integer too.
  if (v.is_number_unsigned()) {
    auto u = v.get<uint64_t>();
    return u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())
               ? std::numeric_limits<int64_t>::max()
               : static_cast<int64_t>(u);
  }
  if (v.is_number_integer()) return v.get<int64_t>();
  if (v.is_number_float()) {
    double d = std::trunc(v.get<double>());
    if (std::isnan(d)) return std::nullopt;
    if (d >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
    if (d <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(d);
  }
  return std::nullopt;
}

// 128 random bits from the kernel's generator, as hex: the page key cannot be guessed, and a
// value parked in the page cannot be taken for another one.
std::string random_token() {
  unsigned char bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  if (got < sizeof bytes) {
    std::random_device device;  // reads the same generator through another door
    for (auto& b : bytes) b = static_cast<unsigned char>(device());
  }
  std::string token;
  static constexpr char kHex[] = "0123456789abcdef";
  for (unsigned char b : bytes) {
    token.push_back(kHex[b >> 4]);
    token.push_back(kHex[b & 15]);
  }
  return token;
}

// The contents of a memory file sealed against writes and size changes (so the mapping cannot
// change under us or fault), mapped read-only; empty (false) for any other file.
Bytes map_sealed_file(int fd) {
  constexpr int kSeals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE;
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || (::fcntl(fd, F_GET_SEALS) & kSeals) != kSeals) return {};
  const auto size = static_cast<size_t>(st.st_size);
  if (size == 0) return Bytes(std::string());
  // Populated in one call: one fault per page costs more than the copy it saves.
  void* data = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
  if (data == MAP_FAILED) return {};
  std::shared_ptr<const void> owner(data, [size](const void* p) {
    ::munmap(const_cast<void*>(p), size);  // NOLINT(cppcoreguidelines-pro-type-const-cast)
  });
  return {std::string_view(static_cast<const char*>(data), size), std::move(owner)};
}

}  // namespace

Bridge::Bridge(std::shared_ptr<CommandRegistry> registry)
    : registry_(std::move(registry)), page_key_(random_token()) {}

std::shared_ptr<Bridge> Bridge::create(std::shared_ptr<CommandRegistry> registry) {
  auto bridge = std::shared_ptr<Bridge>(new Bridge(std::move(registry)));
  bridge->registry_->set_callback_sink(bridge);
  return bridge;
}

void Bridge::set_web_view(std::weak_ptr<ScriptEvaluator> web_view) {
  std::scoped_lock lock(web_view_mutex_);
  auto view = web_view.lock();
  view_takes_values_ = view && view->takes_values();
  web_view_ = std::move(web_view);
}

std::shared_ptr<ScriptEvaluator> Bridge::web_view() {
  std::scoped_lock lock(web_view_mutex_);
  return web_view_.lock();
}

void Bridge::on_posted_message(std::string_view posted) {
  if (!posted.starts_with(page_key_)) {
    on_foreign_message();
    return;
  }
  std::string_view text = posted.substr(page_key_.size());
  if (text.empty() || text.front() != kRecordSeparator) {
    on_message_text(text);
    return;
  }
  // The messages of one turn of the page, each led by a record separator: read in order,
  // answered together.
  while (!text.empty()) {
    text.remove_prefix(1);
    const size_t end = std::min(text.find(kRecordSeparator), text.size());
    read_message_text(text.substr(0, end));
    text.remove_prefix(end);
  }
  flush_answered();
}

void Bridge::on_posted_file(std::string_view posted, int fd) {
  if (!posted.starts_with(page_key_)) {
    on_foreign_message();
    return;
  }
  std::optional<json> message = parse_json(posted.substr(page_key_.size()));
  if (message && message->is_object()) {
    const auto body = message->find("body");
    const bool bytes = body != message->end() && *body == "bytes";
    const bool args = body != message->end() && *body == "json";
    if (bytes || args) {
      if (Bytes contents = map_sealed_file(fd)) {
        if (bytes) {
          handle_message(std::move(*message), std::move(contents));
        } else if (auto parsed = parse_json_checked(contents.view())) {
          (*message)["args"] = std::move(*parsed);
          handle_message(std::move(*message), {}, FreeArgs::kInBackground);
        } else if (parsed.error() == JsonError::kTooDeep) {
          refuse_too_deep(message->value("reqId", json()), message->value("cmd", json()));
        }
      }
    }
  }
  flush_answered();
}

void Bridge::on_foreign_message() {
  if (foreign_logged_) return;
  foreign_logged_ = true;
  vessa::log("bridge: dropped a message that did not come from the app's page");
}

void Bridge::page_committed() {
  page_load_.fetch_add(1);
  foreign_logged_ = false;
}

void Bridge::on_message(const json& body) {
  if (body.is_string()) {
    on_message_text(body.get_ref<const std::string&>());
    return;
  }
  handle_message(body);
  flush_answered();
}

void Bridge::on_message_text(std::string_view text) {
  read_message_text(text);
  flush_answered();
}

void Bridge::read_message_text(std::string_view text) {
  // Parsed once: a string inside the text is not read as a message again.
  auto parsed = parse_json_checked(text);
  if (parsed) {
    handle_message(std::move(*parsed));
  } else if (parsed.error() == JsonError::kTooDeep) {
    auto type = top_level_scalar(text, "type");
    auto req = top_level_scalar(text, "reqId");
    auto cmd = top_level_scalar(text, "cmd");
    if (type && *type == "invoke" && req && cmd) refuse_too_deep(*req, *cmd);
  }
}

// Nothing recursive may touch a message nested this deep, but its promise still settles when
// its request id and command can be read.
void Bridge::refuse_too_deep(const json& req, const json& cmd) {
  auto id = request_id(req);
  if (!id || !cmd.is_string()) return;
  answer(page_load_.load(), *id,
         CommandResult::failure(cmd.get<std::string>() + ": arguments nest deeper than " +
                                std::to_string(kMaxJsonDepth) + " levels"));
}

// A command that answered at once (pings, settings) is evaluated before the page's message
// handler returns, sparing the answer a main-loop turn; its family's call has returned by then,
// and deliveries still leave in the order they were queued. Messages that arrive in a burst
// (many requests in flight) skip this: they wait for the main queue and travel as one batch.
void Bridge::flush_answered() {
  const int64_t now = g_get_monotonic_time();
  const bool burst = now - last_message_us_ < burst_gap_us_;
  last_message_us_ = now;
  if (burst) return;
  {
    std::scoped_lock lock(batch_mutex_);
    if (batch_.empty()) return;
  }
  flush();
}

void Bridge::handle_message(json body, Bytes raw_body, FreeArgs free_args) {
  if (!body.is_object()) return;
  auto& fields = body.get_ref<json::object_t&>();
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
  CommandRequest request;
  // Moved, not copied: arguments can be megabytes and this is the main thread.
  if (auto it = fields.find("args"); it != fields.end() && it->second.is_object() && !raw_body) {
    request.args = std::move(it->second);
  }
  request.body = std::move(raw_body);
  if (const json* headers = field("headers"); headers && headers->is_object()) {
    for (const auto& [name, value] : headers->items()) {
      if (value.is_string()) request.headers[name] = value.get<std::string>();
    }
  }

  std::weak_ptr<Bridge> weak = weak_from_this();
  const int64_t req_id = *id;
  const uint64_t load = page_load_.load();
  request.page_load = load;
  registry_->dispatch_request(cmd->get_ref<const std::string&>(), request,
                              [weak, load, req_id](const CommandResult& result) {
                                if (auto self = weak.lock()) self->answer(load, req_id, result);
                              });
  // A command that needs its arguments later has copied what it needs.
  if (free_args == FreeArgs::kInBackground) {
    dispatch::global_async([args = std::move(request.args)]() mutable { args = json(); });
  }
}

// One array for the page's __VESSA_BATCH: [reqId, ok, value] answers a request, [name, value]
// delivers an event, [null, id, value] calls a callback; a value waiting as bytes is null,
// followed by its address. Every delivery travels this way, alone too: the engine runs a call
// with one JSON argument without compiling it, where a call of several arguments is compiled
// first (about 30 µs more per answer, bench/). Pure ASCII, so the engine keeps the script as
// 8-bit text.
std::string Bridge::batch_script(std::vector<Delivery>& items, size_t begin, size_t end) {
  size_t total = 32;
  for (size_t i = begin; i < end; ++i) {
    total += items[i].name.size() + items[i].data.size() + 80;
  }
  std::string s;
  s.reserve(total);
  s.append("window.__VESSA_BATCH([");
  for (size_t i = begin; i < end; ++i) {
    Delivery& d = items[i];
    if (i > begin) s.push_back(',');
    s.push_back('[');
    if (d.kind == Delivery::Kind::kResolve) {
      s.append(std::to_string(d.req_id)).append(d.ok ? ",true," : ",false,");
    } else if (d.kind == Delivery::Kind::kCallback) {
      s.append("null,").append(std::to_string(d.req_id)).push_back(',');
    } else {
      s.append(d.name).push_back(',');
    }
    if (d.token.empty()) {
      s.append(d.data);
    } else {
      s.append("null,\"").append(d.token).push_back('"');
    }
    s.push_back(']');
  }
  s.append("]);");
  return s;
}

// Runs on the caller's thread, so parking stays off the main thread.
Bridge::Delivery Bridge::prepare(Delivery::Kind kind, std::string data) {
  Delivery d;
  d.kind = kind;
  if (data.size() > value_bytes_.load(std::memory_order_relaxed) && view_takes_values_.load()) {
    if (fs::UniqueFd file = fs::sealed_memory_file("vessa-value", data)) {
      d.token = random_token();
      d.value_file = std::move(file);
      return d;
    }
  }
  d.data = std::move(data);
  return d;
}

void Bridge::resolve(int64_t req_id, const CommandResult& result) {
  answer(page_load_.load(), req_id, result);
}

void Bridge::answer(uint64_t page_load, int64_t req_id, const CommandResult& result) {
  if (result.bytes()) {
    answer_bytes(page_load, req_id, result.bytes());
    return;
  }
  std::string data;
  if (result.ok()) {
    encode_json_into(data, result.value(), kAscii);
  } else {
    encode_json_string_into(data, result.error(), kAscii);
  }
  Delivery d = prepare(Delivery::Kind::kResolve, std::move(data));
  d.req_id = req_id;
  d.page_load = page_load;
  d.ok = result.ok();
  enqueue(std::move(d));
}

// Bytes reach the page only as a memory file the web process maps into an ArrayBuffer; a page
// without that way in gets a failure rather than anything else.
void Bridge::answer_bytes(uint64_t page_load, int64_t req_id, const Bytes& bytes) {
  Delivery d;
  d.kind = Delivery::Kind::kResolve;
  d.req_id = req_id;
  d.page_load = page_load;
  if (view_takes_values_.load()) d.value_file = fs::sealed_memory_file("vessa-bytes", bytes.view());
  d.ok = static_cast<bool>(d.value_file);
  if (d.ok) {
    d.token = "x" + random_token();  // not hex: the page reads an "x" token as bytes
    d.bytes_size = bytes.size();
  } else {
    encode_json_string_into(d.data, "the result could not be delivered");
  }
  enqueue(std::move(d));
}

void Bridge::emit(const std::string& event, const json& payload) {
  std::string data;
  encode_json_into(data, payload, kAscii);
  Delivery d = prepare(Delivery::Kind::kEmit, std::move(data));
  encode_json_string_into(d.name, event, kAscii);
  enqueue(std::move(d));
}

void Bridge::call_back(uint64_t page_load, int64_t id, json payload) {
  std::string data;
  encode_json_into(data, payload, kAscii);
  Delivery d = prepare(Delivery::Kind::kCallback, std::move(data));
  d.req_id = id;
  d.page_load = page_load;
  enqueue(std::move(d));
}

void Bridge::run(std::string script) {
  Delivery d;
  d.kind = Delivery::Kind::kScript;
  d.data = std::move(script);
  enqueue(std::move(d));
}

void Bridge::enqueue(Delivery delivery) {
  std::scoped_lock lock(batch_mutex_);
  batch_.push_back(std::move(delivery));
  if (flush_scheduled_) return;
  flush_scheduled_ = true;
  std::weak_ptr<Bridge> weak = weak_from_this();
  dispatch::main_async([weak] {
    if (auto self = weak.lock()) self->flush();
  });
}

// Evaluations reach the page in the order they are requested, so the deliveries' order holds.
void Bridge::flush() {
  std::vector<Delivery> items;
  {
    std::scoped_lock lock(batch_mutex_);
    items.swap(batch_);
    flush_scheduled_ = false;
  }
  std::shared_ptr<ScriptEvaluator> view = web_view();
  if (!view) return;
  using Kind = Delivery::Kind;
  // The page that asked is gone: its request and callback ids mean others in the current page.
  const uint64_t current = page_load_.load();
  std::erase_if(items, [current](const Delivery& d) {
    if (d.kind == Kind::kCallback) return d.page_load != current;
    if (d.kind != Kind::kResolve || d.page_load == current) return false;
    vessa::log("bridge: dropped the answer to request " + std::to_string(d.req_id) +
               " of an earlier page load");
    return true;
  });
  size_t i = 0;
  while (i < items.size()) {
    if (items[i].kind == Kind::kScript) {
      view->evaluate_script(items[i++].data);
      continue;
    }
    size_t end = i;
    size_t bytes = 0;
    while (end < items.size() && items[end].kind != Kind::kScript) {
      const size_t size = items[end].name.size() + items[end].data.size() + 32;
      if (end > i && bytes + size > kMaxBatchBytes) break;
      bytes += size;
      ++end;
      // The page runs promise continuations when an evaluation ends: an answer followed by an
      // event or a callback ends its evaluation, so code awaiting the answer still runs before
      // that event's listeners, as it would with one evaluation per delivery.
      if (items[end - 1].kind == Kind::kResolve && end < items.size() &&
          items[end].kind != Kind::kResolve) {
        break;
      }
    }
    // The values go first: the page parks them before the batch that names them runs.
    for (size_t k = i; k < end; ++k) {
      const Delivery& d = items[k];
      if (!d.value_file) continue;
      if (d.bytes_size) {
        view->hand_bytes(d.token, d.value_file.get(), *d.bytes_size);
      } else {
        view->hand_value(d.token, d.value_file.get());
      }
    }
    view->evaluate_script(batch_script(items, i, end));
    i = end;
  }
}

}  // namespace vessa::bridge
