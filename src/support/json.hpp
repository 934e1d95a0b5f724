// JSON helpers over nlohmann::json: exception-free parsing, typed argument readers, encoding.
#pragma once

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

namespace vessa {

using json = nlohmann::json;

/// Deepest nesting of arrays and objects accepted from outside. Everything recursive
/// (copies, comparisons, dumps) stays far from the stack's end below this.
inline constexpr int kMaxJsonDepth = 512;

enum class JsonError { kInvalid, kTooDeep };

/// Parses `text` without throwing and without recursion. Input nested deeper than `max_depth`
/// is refused before a value is built. A lone UTF-16 surrogate escape or an invalid UTF-8 byte
/// reads as U+FFFD (pages send both); such text is repaired only when the plain parse failed.
tl::expected<json, JsonError> parse_json_checked(std::string_view text,
                                                 int max_depth = kMaxJsonDepth);

/// `parse_json_checked` for callers that need no reason; nullopt when refused.
std::optional<json> parse_json(std::string_view text);

/// The scalar (string, number, boolean, null) under `key` in the top-level object of `text`,
/// found by scanning alone, whatever the depth of the rest: lets a refused message still be
/// answered by its request id. nullopt when absent, not a scalar, or `text` is no object.
std::optional<json> top_level_scalar(std::string_view text, std::string_view key);

/// Why a JSON file gave no value.
struct JsonFileError {
  /// True when the file exists but could not be read whole (unreadable, not a regular file, too
  /// large, nested too deep): its content is unknown and must not be overwritten.
  bool unloadable = false;
  std::string reason;
};

/// Reads and parses `path` (at most `max_bytes`). A missing file or text that is not JSON gives
/// an error with `unloadable` false: there is nothing there worth keeping.
tl::expected<json, JsonFileError> load_json_file(
    const std::string& path, std::uintmax_t max_bytes = std::numeric_limits<std::uintmax_t>::max());

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

/// Pretty-printed (2-space indent), sorted-key text for files; invalid UTF-8 becomes U+FFFD.
std::string dump_pretty(const json& value);

/// Reads `path` and parses it; nullopt when unreadable or not valid JSON.
std::optional<json> read_json_file(const std::string& path);

}  // namespace vessa
