// Turns JSON values into JavaScript literals for scripts evaluated in the page.
#include "bridge/js.hpp"

namespace vessa::bridge::js {

std::string encode(const json& value) { return encode_json(value); }

std::string encode_ascii(const json& value) {
  return encode_json(value, EncodeOptions{.ascii_only = true});
}

std::string ascii_only(std::string text) { return escape_non_ascii(std::move(text)); }

}  // namespace vessa::bridge::js
