// Named JSON key-value stores for the page's store plug-in, kept in memory and saved on request.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <tl/expected.hpp>

#include "commands/command_result.hpp"
#include "support/json.hpp"

namespace vessa::commands {

class StoreManager {
 public:
  /// Largest store file read or written (bytes). A bigger file reads as an empty store and is
  /// never overwritten; a store that would serialise bigger is not written (the save fails), so
  /// we never write what we would not read back.
  static constexpr std::uintmax_t kMaxFileBytes = 256ULL * 1024 * 1024;

  /// The process-wide instance, over `appDataDir()/stores` (fixed and created on first use).
  static StoreManager& shared();

  /// A manager over `dir` (created when missing; failure is ignored). Tests use their own.
  explicit StoreManager(std::filesystem::path dir, std::uintmax_t max_file_bytes = kMaxFileBytes);

  /// Runs store operation `op` ("get", "set", "save", ...) with the page's arguments and
  /// returns its result. Serialised under one lock; any thread.
  CommandResult handle(const std::string& op, const json& args);

  /// The file that holds store `name`: every "/" becomes "_". nullopt for names that would not
  /// name a plain file inside the stores folder ("", ".", "..", NUL bytes, too long); such
  /// stores live in memory only, and writing them fails.
  std::optional<std::filesystem::path> file_for(const std::string& name) const;

  const std::filesystem::path& dir() const { return dir_; }

 private:
  struct Store {
    json data = json::object();
    /// Keys set or deleted here since the last write: what a save brings to the file.
    std::set<std::string> changed;
  };

  Store& ensureLoaded(const std::string& name);
  /// Writes store `name` for operation `op`; `clear` empties it first. The error is the
  /// page's failure message.
  tl::expected<void, std::string> persist(const std::string& op, const std::string& name,
                                          bool clear);

  std::filesystem::path dir_;
  std::uintmax_t max_file_bytes_;
  std::mutex lock_;
  std::map<std::string, Store> stores_;
};

}  // namespace vessa::commands
