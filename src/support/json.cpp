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
#include <utility>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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
  return args.is_object() && args.contains(key);
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

// Buffers at least this large ask for huge pages.
constexpr size_t kHugeOutputBytes = size_t{4} << 20;
// Room kept ahead of the output between values, enough for any scalar and punctuation.
constexpr size_t kValueRoom = 256;
// The most one escaped character adds beyond the input bytes it replaces (a 4-byte sequence
// becomes two \u escapes: 12 bytes).
constexpr size_t kEscapeRoom = 12;

// Asks the kernel to back the whole 2 MiB blocks of [data, data + size) with huge pages. Only
// advice: the memory stays the allocator's, and nothing changes where the kernel declines.
void prefer_huge_pages(const char* data, size_t size) {
  constexpr size_t kHuge = size_t{2} << 20;
  const size_t offset = (kHuge - (reinterpret_cast<uintptr_t>(data) % kHuge)) % kHuge;
  if (size <= offset) return;
  const size_t length = (size - offset) & ~(kHuge - 1);
  // madvise takes a mutable pointer; the advice changes no byte.
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast)
  if (length > 0) ::madvise(const_cast<char*>(data + offset), length, MADV_HUGEPAGE);
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
      return seen == 0 ? 2 : 2 + (total / seen * items.size());
    }
    case json::value_t::object: {
      const auto& members = value.get_ref<const json::object_t&>();
      size_t seen = 0;
      size_t total = 0;
      for (auto it = members.begin(); it != members.end() && seen < kSamples; ++it, ++seen) {
        total += it->first.size() + 4 + size_guess(it->second);
      }
      return seen == 0 ? 2 : 2 + (total / seen * members.size());
    }
    default:
      return 8;
  }
}

// Writes at the end of a string through a raw cursor: callers ask for room once per value or
// string and then store bytes without the per-call checks of push_back/append, which cost as
// much as the encoding itself. The string holds the room as (zeroed) length while writing and
// is cut to what was written by finish(), also when an exception leaves early.
class Writer {
 public:
  explicit Writer(std::string& out) : out_(out), p_(out.data() + out.size()), end_(p_) {}
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
  Writer(Writer&&) = delete;
  Writer& operator=(Writer&&) = delete;
  ~Writer() { finish(); }

  // Makes `n` bytes writable at the cursor.
  void room(size_t n) {
    if (std::cmp_less(end_ - p_, n)) grow(n);
  }
  void put(char c) { *p_++ = c; }
  void put(const char* s, size_t n) {
    std::memcpy(p_, s, n);
    p_ += n;
  }
  template <size_t N>
  void put(const char (&literal)[N]) {
    put(literal, N - 1);
  }
  char* cursor() { return p_; }
  void advance_to(char* p) { p_ = p; }

  void finish() { out_.resize(static_cast<size_t>(p_ - out_.data())); }

 private:
  void grow(size_t n) {
    const auto used = static_cast<size_t>(p_ - out_.data());
    const size_t size = std::max(out_.size() * 2, used + n);
    if (size < kHugeOutputBytes) {
      out_.resize(size);
    } else {
      // A fresh multi-megabyte buffer pays one page fault per 4 KiB otherwise, which on virtual
      // machines costs several times the encoding: advise it before anything touches it.
      std::string bigger;
      bigger.reserve(size);
      prefer_huge_pages(bigger.data(), bigger.capacity());
      bigger.append(out_.data(), used);
      bigger.resize(size);
      out_.swap(bigger);
    }
    p_ = out_.data() + used;
    end_ = out_.data() + out_.size();
  }

  std::string& out_;
  char* p_;
  char* end_;
};

void put_u_escape(Writer& w, uint32_t unit) {
  const char buf[6] = {'\\',
                       'u',
                       kHex[(unit >> 12) & 0xF],
                       kHex[(unit >> 8) & 0xF],
                       kHex[(unit >> 4) & 0xF],
                       kHex[unit & 0xF]};
  w.put(buf, 6);
}

void put_code_point_escape(Writer& w, uint32_t cp) {
  if (cp >= 0x10000) {
    const uint32_t v = cp - 0x10000;
    put_u_escape(w, 0xD800 + (v >> 10));
    put_u_escape(w, 0xDC00 + (v & 0x3FF));
  } else {
    put_u_escape(w, cp);
  }
}

// Index of the first byte at or after `i` that is a quote, a backslash, a control character or
// not ASCII; `n` when there is none.
size_t next_special(const unsigned char* s, size_t n, size_t i) {
#ifdef __SSE2__
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i slash = _mm_set1_epi8('\\');
  const __m128i space = _mm_set1_epi8(0x20);
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    // Signed compare: bytes of 0x80 and above are negative, so they count as below 0x20 too.
    const __m128i hit = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, slash)), _mm_cmplt_epi8(v, space));
    const int mask = _mm_movemask_epi8(hit);
    if (mask != 0) return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
  }
#else
  constexpr uint64_t k01 = 0x0101010101010101ULL;
  constexpr uint64_t k80 = 0x8080808080808080ULL;
  for (; i + 8 <= n; i += 8) {
    uint64_t w = 0;
    std::memcpy(&w, s + i, 8);
    const uint64_t quote = w ^ (k01 * '"');
    const uint64_t slash = w ^ (k01 * '\\');
    const uint64_t flagged =
        ((w - k01 * 0x20) & ~w) | ((quote - k01) & ~quote) | ((slash - k01) & ~slash);
    if (((flagged | w) & k80) != 0) break;
  }
#endif
  while (i < n && kEscape[s[i]] == 0) ++i;
  return i;
}

void put_string(Writer& w, std::string_view text, EncodeOptions options) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  // Room for the text and the quotes; each escape asks for what it adds.
  w.room(n + 2);
  w.put('"');
  size_t i = 0;
  while (true) {
    const size_t special = next_special(s, n, i);
    w.put(text.data() + i, special - i);
    i = special;
    if (i >= n) break;
    // What is left of the text, the closing quote and this character's escape.
    w.room(n - i + 1 + kEscapeRoom);
    const unsigned char c = s[i];
    if (c < 0x80) {
      switch (c) {
        case '"':
          w.put("\\\"");
          break;
        case '\\':
          w.put("\\\\");
          break;
        case '\n':
          w.put("\\n");
          break;
        case '\r':
          w.put("\\r");
          break;
        case '\t':
          w.put("\\t");
          break;
        case '\b':
          w.put("\\b");
          break;
        case '\f':
          w.put("\\f");
          break;
        default:
          put_u_escape(w, c);
      }
      ++i;
      continue;
    }
    uint32_t cp = 0;
    const size_t len = decode_utf8(s, n, i, cp);
    if (len == 0) {
      // Invalid byte: one replacement character per offending byte.
      if (options.ascii_only) {
        put_u_escape(w, 0xFFFD);
      } else {
        w.put("\xEF\xBF\xBD");
      }
      ++i;
    } else if (options.ascii_only) {
      put_code_point_escape(w, cp);
      i += len;
    } else if (cp == 0x2028 || cp == 0x2029) {
      // Line terminators in JavaScript source before ES2019.
      put_u_escape(w, cp);
      i += len;
    } else {
      w.put(text.data() + i, len);
      i += len;
    }
  }
  w.put('"');
}

template <typename Number>
void put_integer(Writer& w, Number n) {
  char* p = w.cursor();
  w.advance_to(std::to_chars(p, p + 24, n).ptr);
}

void put_value(Writer& w, const json& value, EncodeOptions options) {
  w.room(kValueRoom);
  switch (value.type()) {
    case json::value_t::null:
    case json::value_t::discarded:
    case json::value_t::binary:
      w.put("null");
      return;
    case json::value_t::boolean:
      if (value.get_ref<const json::boolean_t&>()) {
        w.put("true");
      } else {
        w.put("false");
      }
      return;
    case json::value_t::number_integer:
      put_integer(w, value.get_ref<const json::number_integer_t&>());
      return;
    case json::value_t::number_unsigned:
      put_integer(w, value.get_ref<const json::number_unsigned_t&>());
      return;
    case json::value_t::number_float: {
      const double d = value.get_ref<const json::number_float_t&>();
      if (!std::isfinite(d)) {
        w.put("null");
      } else {
        char* p = w.cursor();
        w.advance_to(std::to_chars(p, p + 32, d).ptr);
      }
      return;
    }
    case json::value_t::string:
      put_string(w, value.get_ref<const json::string_t&>(), options);
      return;
    case json::value_t::array: {
      w.put('[');
      bool first = true;
      for (const auto& el : value.get_ref<const json::array_t&>()) {
        if (!first) {
          w.room(1);
          w.put(',');
        }
        first = false;
        put_value(w, el, options);
      }
      w.room(1);
      w.put(']');
      return;
    }
    case json::value_t::object: {
      w.put('{');
      bool first = true;
      for (const auto& [k, v] : value.get_ref<const json::object_t&>()) {
        if (!first) {
          w.room(1);
          w.put(',');
        }
        first = false;
        put_string(w, k, options);
        w.room(1);
        w.put(':');
        put_value(w, v, options);
      }
      w.room(1);
      w.put('}');
      return;
    }
  }
  w.put("null");
}

}  // namespace

void encode_json_string_into(std::string& out, std::string_view text, EncodeOptions options) {
  Writer w(out);
  put_string(w, text, options);
}

void encode_json_into(std::string& out, const json& value, EncodeOptions options) {
  Writer w(out);
  // Sized once for the whole value where the guess holds; growth past it stays cheap.
  const size_t guess = size_guess(value);
  w.room(guess + (guess / 8) + kValueRoom);
  put_value(w, value, options);
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

  // The SAX parser calls these by name on the type it is given, so hiding is how they extend it.
  // NOLINTBEGIN(bugprone-derived-method-shadowing-base-method)
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
  // NOLINTEND(bugprone-derived-method-shadowing-base-method)
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
