// User defaults kept in $XDG_CONFIG_HOME/vessa/defaults.json.
#pragma once

#include <mutex>

#include "platform/services.hpp"

namespace vessa::platform {

class FileUserDefaults : public UserDefaults {
 public:
  std::optional<json> get(const std::string& key) override;
  void set(const std::string& key, const json& value) override;
  void remove(const std::string& key) override;
  /// The file in use (read from the environment on each call).
  static std::string file_path();

 private:
  static json load();
  static void store(const json& all);
  std::mutex mutex_;
};

}  // namespace vessa::platform
