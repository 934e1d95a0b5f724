// Turns JSON values into JavaScript literals for scripts evaluated in the page.
#include "bridge/js.hpp"

namespace vessa::bridge::js {

std::string encode(const json& value) { return encode_json(value); }

std::string encode_ascii(const json& value) {
  return encode_json(value, EncodeOptions{.ascii_only = true});
}

}  // namespace vessa::bridge::js
