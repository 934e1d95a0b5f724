// The JSON and JavaScript encoders: any value, any bytes in its strings, always gives text that
// parses back, as valid UTF-8, with the value unchanged wherever its text was valid.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "bridge/js.hpp"
#include "fuzz_support.hpp"
#include "support/json.hpp"
#include "support/utf8.hpp"

namespace {

using vessa::json;
using vessa::fuzz::check;

bool is_ascii(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

// Encodes `value` every way the bridge does; each text must parse back to `expected`.
void round_trip(const json& value, const json& expected) {
  const std::string plain = vessa::encode_json(value);
  const std::string ascii = vessa::encode_json(value, {.ascii_only = true});
  const std::string js = vessa::bridge::js::encode(value);
  const std::string js_ascii = vessa::bridge::js::encode_ascii(value);
  check(is_ascii(ascii) && is_ascii(js_ascii), "ASCII encoding holds other bytes");
  for (const std::string* text : {&plain, &ascii, &js, &js_ascii}) {
    check(vessa::is_valid_utf8(*text), "encoding is not valid UTF-8");
    // Line and paragraph separators end a statement in older script engines.
    check(text->find("\xE2\x80\xA8") == std::string::npos &&
              text->find("\xE2\x80\xA9") == std::string::npos,
          "U+2028/U+2029 left unescaped");
    auto parsed = vessa::parse_json(*text);
    check(parsed.has_value(), "encoding does not parse");
    check(*parsed == expected, "encoding does not round-trip");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  // Input that is JSON: every string in it is valid UTF-8, so the value comes back as it was.
  if (auto value = vessa::parse_json(text)) {
    round_trip(*value, vessa::fuzz::finite_only(*value));
  }

  // The raw bytes as a string (file names, process output): invalid bytes become U+FFFD.
  const json raw(std::string{text});
  const std::string encoded = vessa::encode_json(raw);
  auto back = vessa::parse_json(encoded);
  check(back && back->is_string(), "byte string does not encode as a string");
  if (vessa::is_valid_utf8(text)) check(*back == raw, "valid text changed");
  round_trip(*back, *back);

  // Any eight bytes as a number, NaN and infinities included.
  if (size >= sizeof(double)) {
    double number = 0;
    std::memcpy(&number, data, sizeof number);
    round_trip(json{{"n", number}}, vessa::fuzz::finite_only(json{{"n", number}}));
  }
  return 0;
}
