// Turns JSON values into JavaScript literals for scripts evaluated in the page.
#pragma once

#include <string>

#include "support/json.hpp"

namespace vessa::bridge::js {

/// The JavaScript literal of `value`: compact JSON, U+2028/U+2029 escaped, invalid UTF-8
/// replaced by U+FFFD. Never throws; always a valid expression.
std::string encode(const json& value);

/// The same literal with every non-ASCII character escaped (\uXXXX), for large scripts that
/// WebKit then keeps as 8-bit text.
std::string encode_ascii(const json& value);

}  // namespace vessa::bridge::js
