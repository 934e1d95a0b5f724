// Exception-free JSON parsing and a purpose-built encoder.
#include "support/json.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "support/fs.hpp"

namespace vessa {

std::optional<std::string> string_arg(const json& args, std::string_view key) {
  if (!args.is_object()) return std::nullopt;
  auto it = args.find(key);
  if (it == args.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::optional<bool> bool_arg(const json& args, std::string_view key) {
  if (!args.is_object()) return std::nullopt;
  auto it = args.find(key);
  if (it == args.end() || !it->is_boolean()) return std::nullopt;
  return it->get<bool>();
}

std::optional<double> number_arg(const json& args, std::string_view key) {
  if (!args.is_object()) return std::nullopt;
  auto it = args.find(key);
  if (it == args.end() || !it->is_number()) return std::nullopt;
  return it->get<double>();
}

bool has_arg(const json& args, std::string_view key) {
  return args.is_object() && args.find(key) != args.end();
}

namespace {

constexpr std::array<char, 16> kHex = {'0', '1', '2', '3', '4', '5', '6', '7',
                                       '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};

// 0: copy as is; 1: needs escaping or UTF-8 handling.
constexpr std::array<uint8_t, 256> make_escape_table() {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = 1;
  t['"'] = 1;
  t['\\'] = 1;
  for (int c = 0x80; c < 0x100; ++c) t[c] = 1;
  return t;
}
constexpr auto kEscape = make_escape_table();

void append_u_escape(std::string& out, uint32_t unit) {
  char buf[6] = {'\\',
                 'u',
                 kHex[(unit >> 12) & 0xF],
                 kHex[(unit >> 8) & 0xF],
                 kHex[(unit >> 4) & 0xF],
                 kHex[unit & 0xF]};
  out.append(buf, 6);
}

// Decodes one UTF-8 sequence at s[i]; returns its length and code point, or 0 when invalid.
size_t decode_utf8(const unsigned char* s, size_t n, size_t i, uint32_t& cp) {
  unsigned char c = s[i];
  size_t len = 0;
  uint32_t min = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
    cp = c & 0x1F;
    min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    cp = c & 0x0F;
    min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    cp = c & 0x07;
    min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > n) return 0;
  for (size_t k = 1; k < len; ++k) {
    unsigned char cc = s[i + k];
    if ((cc & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (cc & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

void encode_number_float(std::string& out, double d) {
  if (!std::isfinite(d)) {
    out.append("null");
    return;
  }
  char buf[32];
  auto res = std::to_chars(buf, buf + sizeof buf, d);
  out.append(buf, res.ptr);
}

// Appends the \u escape (a surrogate pair above U+FFFF) of code point `cp`.
void append_code_point_escape(std::string& out, uint32_t cp) {
  if (cp >= 0x10000) {
    const uint32_t v = cp - 0x10000;
    append_u_escape(out, 0xD800 + (v >> 10));
    append_u_escape(out, 0xDC00 + (v & 0x3FF));
  } else {
    append_u_escape(out, cp);
  }
}

size_t first_non_ascii(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  // Eight bytes at a time: any high bit set means a non-ASCII byte in the word.
  for (; i + 8 <= n; i += 8) {
    uint64_t word = 0;
    std::memcpy(&word, s + i, 8);
    if ((word & 0x8080808080808080ULL) != 0) break;
  }
  for (; i < n; ++i) {
    if ((s[i] & 0x80) != 0) return i;
  }
  return n;
}

// Buffers at least this large ask for huge pages.
constexpr size_t kHugeOutputBytes = size_t{4} << 20;
// Room kept ahead of the output between values, enough for any scalar and punctuation.
constexpr size_t kValueRoom = 256;

// Asks the kernel to back the whole 2 MiB blocks of [data, data + size) with huge pages. Only
// advice: the memory stays the allocator's, and nothing changes where the kernel declines.
void prefer_huge_pages(char* data, size_t size) {
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  const auto address = reinterpret_cast<uintptr_t>(data);
  const auto begin = (address + kHuge - 1) & ~(kHuge - 1);
  const auto end = (address + size) & ~(kHuge - 1);
  if (end > begin) ::madvise(data + (begin - address), end - begin, MADV_HUGEPAGE);
}

// A quick guess at the encoded size of `value`: arrays and objects of more than kSamples
// members are judged by kSamples of them spread evenly, so the guess costs next to nothing even
// for megabytes of records. Escapes are not looked for.
constexpr size_t kSamples = 16;
size_t size_guess(const json& value) {
  switch (value.type()) {
    case json::value_t::string:
      return value.get_ref<const json::string_t&>().size() + 2;
    case json::value_t::array: {
      const auto& items = value.get_ref<const json::array_t&>();
      const size_t step = std::max<size_t>(1, items.size() / kSamples);
      size_t seen = 0;
      size_t total = 0;
      for (size_t i = 0; i < items.size(); i += step, ++seen) total += size_guess(items[i]) + 1;
      return seen == 0 ? 2 : 2 + total / seen * items.size();
    }
    case json::value_t::object: {
      const auto& members = value.get_ref<const json::object_t&>();
      size_t seen = 0;
      size_t total = 0;
      for (auto it = members.begin(); it != members.end() && seen < kSamples; ++it, ++seen) {
        total += it->first.size() + 4 + size_guess(it->second);
      }
      return seen == 0 ? 2 : 2 + total / seen * members.size();
    }
    default:
      return 8;
  }
}

// Keeps `need` bytes of room at the end of `out`, doubling the capacity as std::string would.
// A fresh multi-megabyte output otherwise pays one page fault per 4 KiB of every buffer it
// grows through, which on virtual machines costs several times the encoding itself (bench/):
// the new buffer is advised onto huge pages before anything is copied into it.
void ensure_room(std::string& out, size_t need) {
  if (out.capacity() - out.size() >= need) return;
  const size_t capacity = std::max(out.capacity() * 2, out.size() + need);
  if (capacity < kHugeOutputBytes) {
    out.reserve(capacity);
    return;
  }
  std::string bigger;
  bigger.reserve(capacity);
  prefer_huge_pages(bigger.data(), bigger.capacity());
  bigger.append(out);
  out.swap(bigger);
}

}  // namespace

std::string escape_non_ascii(std::string text) {
  size_t i = first_non_ascii(text);
  const size_t n = text.size();
  if (i == n) return text;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  std::string out;
  out.reserve(n + n / 4);
  out.append(text.data(), i);
  while (i < n) {
    if (s[i] < 0x80) {
      size_t run = i;
      while (i < n && s[i] < 0x80) ++i;
      out.append(text.data() + run, i - run);
      continue;
    }
    uint32_t cp = 0;
    size_t len = decode_utf8(s, n, i, cp);
    append_code_point_escape(out, len == 0 ? 0xFFFD : cp);
    i += len == 0 ? 1 : len;
  }
  return out;
}

void encode_json_string_into(std::string& out, std::string_view text, EncodeOptions options) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  // Room for the text, a few escapes and the quotes: a long string does not double its way up.
  ensure_room(out, n + (n >> 4) + kValueRoom);
  out.push_back('"');
  size_t run = 0;  // start of the pending clean run
  size_t i = 0;
  while (i < n) {
    // Eight clean bytes at a time; the byte loop below decides for anything flagged here.
    while (i + 8 <= n) {
      uint64_t w = 0;
      std::memcpy(&w, s + i, 8);
      constexpr uint64_t k01 = 0x0101010101010101ULL;
      constexpr uint64_t k80 = 0x8080808080808080ULL;
      const uint64_t quote = w ^ (k01 * '"');
      const uint64_t slash = w ^ (k01 * '\\');
      const uint64_t flagged =
          ((w - k01 * 0x20) & ~w) | ((quote - k01) & ~quote) | ((slash - k01) & ~slash);
      if (((flagged | w) & k80) != 0) break;
      i += 8;
    }
    if (i >= n) break;
    if (kEscape[s[i]] == 0) {
      ++i;
      continue;
    }
    out.append(text.data() + run, i - run);
    unsigned char c = s[i];
    if (c < 0x80) {
      switch (c) {
        case '"':
          out.append("\\\"");
          break;
        case '\\':
          out.append("\\\\");
          break;
        case '\n':
          out.append("\\n");
          break;
        case '\r':
          out.append("\\r");
          break;
        case '\t':
          out.append("\\t");
          break;
        case '\b':
          out.append("\\b");
          break;
        case '\f':
          out.append("\\f");
          break;
        default:
          append_u_escape(out, c);
      }
      ++i;
    } else {
      uint32_t cp = 0;
      size_t len = decode_utf8(s, n, i, cp);
      if (len == 0) {
        // Invalid byte: one replacement character per offending byte.
        if (options.ascii_only) {
          append_u_escape(out, 0xFFFD);
        } else {
          out.append("\xEF\xBF\xBD");
        }
        ++i;
      } else if (options.ascii_only) {
        append_code_point_escape(out, cp);
        i += len;
      } else if (cp == 0x2028 || cp == 0x2029) {
        // Line terminators in JavaScript source before ES2019.
        append_u_escape(out, cp);
        i += len;
      } else {
        out.append(text.data() + i, len);
        i += len;
      }
    }
    run = i;
  }
  out.append(text.data() + run, n - run);
  out.push_back('"');
}

namespace {

void encode_value(std::string& out, const json& value, EncodeOptions options) {
  switch (value.type()) {
    case json::value_t::null:
    case json::value_t::discarded:
    case json::value_t::binary:
      out.append("null");
      return;
    case json::value_t::boolean:
      out.append(value.get_ref<const json::boolean_t&>() ? "true" : "false");
      return;
    case json::value_t::number_integer: {
      char buf[24];
      auto res =
          std::to_chars(buf, buf + sizeof buf, value.get_ref<const json::number_integer_t&>());
      out.append(buf, res.ptr);
      return;
    }
    case json::value_t::number_unsigned: {
      char buf[24];
      auto res =
          std::to_chars(buf, buf + sizeof buf, value.get_ref<const json::number_unsigned_t&>());
      out.append(buf, res.ptr);
      return;
    }
    case json::value_t::number_float:
      encode_number_float(out, value.get_ref<const json::number_float_t&>());
      return;
    case json::value_t::string:
      encode_json_string_into(out, value.get_ref<const json::string_t&>(), options);
      return;
    case json::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& el : value.get_ref<const json::array_t&>()) {
        ensure_room(out, kValueRoom);
        if (!first) out.push_back(',');
        first = false;
        encode_value(out, el, options);
      }
      out.push_back(']');
      return;
    }
    case json::value_t::object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [k, v] : value.get_ref<const json::object_t&>()) {
        ensure_room(out, kValueRoom);
        if (!first) out.push_back(',');
        first = false;
        encode_json_string_into(out, k, options);
        out.push_back(':');
        encode_value(out, v, options);
      }
      out.push_back('}');
      return;
    }
  }
  out.append("null");
}

}  // namespace

void encode_json_into(std::string& out, const json& value, EncodeOptions options) {
  // Sized once for the whole value where the guess holds; growth past it stays cheap.
  const size_t guess = size_guess(value);
  ensure_room(out, guess + guess / 8 + kValueRoom);
  encode_value(out, value, options);
}

std::string encode_json(const json& value, EncodeOptions options) {
  std::string out;
  encode_json_into(out, value, options);
  return out;
}

std::string dump_pretty(const json& value) {
  return value.dump(2, ' ', false, json::error_handler_t::replace);
}

namespace {

// nlohmann's own DOM builder, stopped at the first container deeper than the limit: one pass,
// no recursion, and nothing deep is ever built.
class DepthLimitedBuilder : public nlohmann::detail::json_sax_dom_parser<json> {
 public:
  DepthLimitedBuilder(json& result, int max_depth)
      : json_sax_dom_parser(result, false), max_depth_(max_depth) {}

  bool start_object(std::size_t elements) {
    return enter() && json_sax_dom_parser::start_object(elements);
  }
  bool start_array(std::size_t elements) {
    return enter() && json_sax_dom_parser::start_array(elements);
  }
  bool end_object() {
    --depth_;
    return json_sax_dom_parser::end_object();
  }
  bool end_array() {
    --depth_;
    return json_sax_dom_parser::end_array();
  }
  bool too_deep() const { return too_deep_; }

 private:
  bool enter() {
    if (++depth_ <= max_depth_) return true;
    too_deep_ = true;
    return false;
  }
  int max_depth_;
  int depth_ = 0;
  bool too_deep_ = false;
};

tl::expected<json, JsonError> parse_limited(std::string_view text, int max_depth) {
  json result;
  DepthLimitedBuilder builder(result, max_depth);
  const bool ok = json::sax_parse(text.begin(), text.end(), &builder);
  if (builder.too_deep()) return tl::unexpected(JsonError::kTooDeep);
  if (!ok || builder.is_errored()) return tl::unexpected(JsonError::kInvalid);
  return result;
}

bool is_hex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// The UTF-16 unit of the escape "\uXXXX" starting at s[i], or -1 when there is none.
long u_escape_at(std::string_view s, size_t i) {
  if (i + 6 > s.size() || s[i] != '\\' || s[i + 1] != 'u') return -1;
  for (size_t k = 2; k < 6; ++k) {
    if (!is_hex(s[i + k])) return -1;
  }
  return std::strtol(std::string(s.substr(i + 2, 4)).c_str(), nullptr, 16);
}

// `text` with every lone surrogate escape written as \ufffd and every invalid UTF-8 byte as
// U+FFFD; nullopt when there is none of either (the text is broken some other way).
std::optional<std::string> repaired(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  std::string out;
  out.reserve(n);
  bool changed = false;
  bool in_string = false;
  size_t i = 0;
  while (i < n) {
    const unsigned char c = s[i];
    if (c >= 0x80) {
      uint32_t cp = 0;
      const size_t len = decode_utf8(s, n, i, cp);
      if (len == 0) {
        out.append("\xEF\xBF\xBD");
        changed = true;
        ++i;
      } else {
        out.append(text.substr(i, len));
        i += len;
      }
      continue;
    }
    if (c == '"') in_string = !in_string;
    if (!in_string || c != '\\') {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    const long unit = u_escape_at(text, i);
    if (unit < 0xD800 || unit > 0xDFFF) {
      // Any other escape, copied with the character it protects (which may be a quote).
      const size_t len = unit >= 0 ? 6 : std::min<size_t>(2, n - i);
      out.append(text.substr(i, len));
      i += len;
      continue;
    }
    const long low = unit <= 0xDBFF ? u_escape_at(text, i + 6) : -1;
    if (low >= 0xDC00 && low <= 0xDFFF) {
      out.append(text.substr(i, 12));
      i += 12;
    } else {
      out.append("\\ufffd");
      changed = true;
      i += 6;
    }
  }
  if (!changed) return std::nullopt;
  return out;
}

// Index just past the string literal that starts at text[i] (a quote), or npos.
size_t string_end(std::string_view text, size_t i) {
  for (size_t k = i + 1; k < text.size(); ++k) {
    if (text[k] == '\\') {
      ++k;
    } else if (text[k] == '"') {
      return k + 1;
    }
  }
  return std::string_view::npos;
}

size_t skip_space(std::string_view text, size_t i) {
  while (i < text.size() &&
         (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r'))
    ++i;
  return i;
}

}  // namespace

tl::expected<json, JsonError> parse_json_checked(std::string_view text, int max_depth) {
  auto parsed = parse_limited(text, max_depth);
  if (parsed || parsed.error() == JsonError::kTooDeep) return parsed;
  // Only failed text pays for the repair pass.
  if (auto fixed = repaired(text)) return parse_limited(*fixed, max_depth);
  return parsed;
}

std::optional<json> parse_json(std::string_view text) {
  auto parsed = parse_json_checked(text);
  if (!parsed) return std::nullopt;
  return std::move(*parsed);
}

std::optional<json> top_level_scalar(std::string_view text, std::string_view key) {
  size_t i = skip_space(text, 0);
  if (i >= text.size() || text[i] != '{') return std::nullopt;
  int depth = 0;
  bool expect_key = false;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '"') {
      const size_t end = string_end(text, i);
      if (end == std::string_view::npos) return std::nullopt;
      if (depth == 1 && expect_key) {
        expect_key = false;
        auto name = parse_limited(text.substr(i, end - i), 1);
        if (name && name->is_string() && name->get_ref<const std::string&>() == key) {
          size_t v = skip_space(text, end);
          if (v >= text.size() || text[v] != ':') return std::nullopt;
          v = skip_space(text, v + 1);
          if (v >= text.size() || text[v] == '{' || text[v] == '[') return std::nullopt;
          size_t v_end = text[v] == '"' ? string_end(text, v) : text.find_first_of(",}] \t\r\n", v);
          if (v_end == std::string_view::npos) return std::nullopt;
          auto value = parse_limited(text.substr(v, v_end - v), 1);
          if (!value) return std::nullopt;
          return std::move(*value);
        }
      }
      i = end;
      continue;
    }
    if (c == '{' || c == '[') {
      ++depth;
      expect_key = depth == 1;
    } else if (c == '}' || c == ']') {
      if (--depth == 0) return std::nullopt;
    } else if (c == ',' && depth == 1) {
      expect_key = true;
    }
    ++i;
  }
  return std::nullopt;
}

tl::expected<json, JsonFileError> load_json_file(const std::string& path,
                                                 std::uintmax_t max_bytes) {
  auto text = fs::read_regular_file(path, max_bytes);
  if (!text) {
    return tl::unexpected(
        JsonFileError{text.error().kind != fs::ReadFailure::kAbsent, text.error().reason});
  }
  auto parsed = parse_json_checked(*text);
  if (parsed) return std::move(*parsed);
  if (parsed.error() == JsonError::kTooDeep) {
    return tl::unexpected(
        JsonFileError{true, "nested deeper than " + std::to_string(kMaxJsonDepth) + " levels"});
  }
  return tl::unexpected(JsonFileError{false, "not valid JSON"});
}

std::optional<json> read_json_file(const std::string& path) {
  auto parsed = load_json_file(path);
  if (!parsed) return std::nullopt;
  return std::move(*parsed);
}

}  // namespace vessa
