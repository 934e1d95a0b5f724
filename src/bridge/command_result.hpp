// The outcome of one command: success with a JSON value, or failure with a message.
#pragma once

#include <functional>
#include <string>
#include <utility>

#include "support/json.hpp"

namespace vessa {

class CommandResult {
 public:
  /// Success carrying `value` (JSON null when the command has nothing to return).
  static CommandResult success(json value = nullptr) {
    return CommandResult(true, std::move(value), {});
  }
  /// Failure carrying the message the page receives as the rejection reason.
  static CommandResult failure(std::string message) {
    return CommandResult(false, nullptr, std::move(message));
  }

  bool ok() const { return ok_; }
  const json& value() const { return value_; }
  const std::string& error() const { return error_; }

 private:
  CommandResult(bool ok, json value, std::string error)
      : ok_(ok), value_(std::move(value)), error_(std::move(error)) {}
  bool ok_;
  json value_;
  std::string error_;
};

/// Called exactly once with a command's outcome, from any thread.
using Completion = std::function<void(CommandResult)>;

}  // namespace vessa
