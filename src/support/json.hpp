// JSON helpers over nlohmann::json: exception-free parsing, typed argument readers, encoding.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace vessa {

using json = nlohmann::json;

/// Parses `text` without throwing; nullopt when it is not valid JSON.
std::optional<json> parse_json(std::string_view text);

/// The string under `key` when `args` is an object holding a string there.
std::optional<std::string> string_arg(const json& args, std::string_view key);
/// The boolean under `key` when `args` is an object holding a boolean there.
std::optional<bool> bool_arg(const json& args, std::string_view key);
/// The number under `key` (integer or floating) when present as a number.
std::optional<double> number_arg(const json& args, std::string_view key);
/// True when `args` is an object that has `key` at all (any value, null included).
bool has_arg(const json& args, std::string_view key);

struct EncodeOptions {
  /// Escape every non-ASCII character as \uXXXX (surrogate pairs above U+FFFF).
  bool ascii_only = false;
};

/// Compact JSON text of `value`. Never throws: invalid UTF-8 in strings becomes U+FFFD,
/// non-finite numbers become null, U+2028/U+2029 are always escaped, keys in map order.
std::string encode_json(const json& value, EncodeOptions options = {});
/// Appends the encoding of `value` to `out`.
void encode_json_into(std::string& out, const json& value, EncodeOptions options = {});
/// Appends `text` as a quoted JSON string literal to `out`.
void encode_json_string_into(std::string& out, std::string_view text, EncodeOptions options = {});

/// `text` (encoder output) with every non-ASCII character escaped as \uXXXX, invalid bytes as
/// \ufffd; returned unchanged when it is ASCII already.
std::string escape_non_ascii(std::string text);

/// Pretty-printed (2-space indent), sorted-key text for files; invalid UTF-8 becomes U+FFFD.
std::string dump_pretty(const json& value);

/// Reads `path` and parses it; nullopt when unreadable or not valid JSON.
std::optional<json> read_json_file(const std::string& path);

}  // namespace vessa
