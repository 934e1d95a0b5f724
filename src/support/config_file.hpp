// Exclusive access to the shell's configuration file for one read-modify-write, shared by every
// writer of that file (the config commands, the executor's launch settings).
#pragma once

#include <mutex>
#include <string>
#include <tl/expected.hpp>

#include "support/fs.hpp"
#include "support/json.hpp"

namespace vessa {

/// Serialises read-modify-write cycles of the configuration file inside this process.
std::mutex& config_file_mutex();

/// One read-modify-write of the configuration file at `config_path`: holds `config_file_mutex()`
/// and the file's cross-process lock, so no writer in any process loses another's keys.
class ConfigFileLock {
 public:
  /// Creates the file's folder (0700) when missing; the error says why the lock was not had.
  static tl::expected<ConfigFileLock, std::string> acquire(const std::string& config_path);

 private:
  ConfigFileLock(std::unique_lock<std::mutex> local, fs::FileLock file)
      : local_(std::move(local)), file_(std::move(file)) {}
  std::unique_lock<std::mutex> local_;
  fs::FileLock file_;
};

/// The configuration file at `path` as found: whether it exists, whether it parses as a JSON
/// object, and that object (empty when it does not). Takes no lock.
struct ConfigRead {
  bool exists = false;
  bool readable = false;
  json object = json::object();
};
ConfigRead read_config(const std::string& path);

}  // namespace vessa
