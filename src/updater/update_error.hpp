// The updater's error type: what went wrong with a download, and how the user reads it.
#pragma once

#include <string>
#include <tl/expected.hpp>
#include <utility>

namespace vessa::updater {

struct UpdateError {
  enum class Kind {
    kBadArchive,
    kSignatureRejected,
    /// A failure passed on unchanged (transport, file system); its message is the description.
    kOther,
  };
  Kind kind = Kind::kOther;
  std::string message;

  static UpdateError badArchive(std::string m) { return {Kind::kBadArchive, std::move(m)}; }
  static UpdateError signatureRejected(std::string m) {
    return {Kind::kSignatureRejected, std::move(m)};
  }
  static UpdateError other(std::string m) { return {Kind::kOther, std::move(m)}; }

  /// The user-readable description.
  std::string description() const {
    switch (kind) {
      case Kind::kBadArchive:
        return "Update archive invalid: " + message;
      case Kind::kSignatureRejected:
        return "Update signature rejected: " + message;
      case Kind::kOther:
        break;
    }
    return message;
  }
};

template <typename T>
using UpdateResult = tl::expected<T, UpdateError>;

}  // namespace vessa::updater
