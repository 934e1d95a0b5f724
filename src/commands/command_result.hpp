// The outcome of one command (success with a JSON value or with bytes, or failure with a
// message) and the request that asked for it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "support/json.hpp"

namespace vessa::commands {

/// Raw bytes passed along without copying: a view kept valid by whatever owns the memory (a
/// string, a mapped file). Cheap to copy; immutable.
class Bytes {
 public:
  Bytes() = default;
  explicit Bytes(std::string data) {
    auto owned = std::make_shared<const std::string>(std::move(data));
    view_ = *owned;
    owner_ = std::move(owned);
  }
  Bytes(std::string_view view, std::shared_ptr<const void> owner)
      : view_(view), owner_(std::move(owner)) {}

  /// False for "no bytes at all", as opposed to zero bytes.
  explicit operator bool() const { return owner_ != nullptr; }
  std::string_view view() const { return view_; }
  size_t size() const { return view_.size(); }

 private:
  std::string_view view_;
  std::shared_ptr<const void> owner_;
};

/// One command request from the page: JSON arguments, or raw bytes, plus the page's headers.
struct CommandRequest {
  /// The arguments object; empty when the page sent raw bytes.
  json args = json::object();
  /// The raw body when the page invoked with bytes (a Uint8Array or ArrayBuffer).
  Bytes body;
  /// The page's headers (the third invoke argument), names in lower case.
  std::map<std::string, std::string> headers;
  /// The page load that asked (the bridge counts them); channels it passed belong to it.
  uint64_t page_load = 0;
};

class CommandResult {
 public:
  /// Success carrying `value` (JSON null when the command has nothing to return).
  static CommandResult success(json value = nullptr) { return {true, std::move(value), {}}; }
  /// Success carrying raw bytes, which the page receives as an ArrayBuffer.
  static CommandResult bytes(Bytes data) {
    CommandResult r(true, nullptr, {});
    r.bytes_ = std::move(data);
    return r;
  }
  /// Failure carrying the message the page receives as the rejection reason.
  static CommandResult failure(std::string message) { return {false, nullptr, std::move(message)}; }

  bool ok() const { return ok_; }
  /// The JSON value of a success (null for a success with bytes).
  const json& value() const { return value_; }
  /// The bytes of a success with bytes; empty (false) otherwise.
  const Bytes& bytes() const { return bytes_; }
  const std::string& error() const { return error_; }

 private:
  CommandResult(bool ok, json value, std::string error)
      : ok_(ok), value_(std::move(value)), error_(std::move(error)) {}
  bool ok_;
  json value_;
  Bytes bytes_;
  std::string error_;
};

/// Called exactly once with a command's outcome, from any thread.
using Completion = std::function<void(CommandResult)>;

}  // namespace vessa::commands
