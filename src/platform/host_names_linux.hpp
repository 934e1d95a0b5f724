// Host names from /etc/machine-info and gethostname().
#pragma once

#include "platform/services.hpp"

namespace vessa::platform {

class LinuxHostNames : public HostNames {
 public:
  /// `machine_info` is the file holding PRETTY_HOSTNAME (tests point it elsewhere).
  explicit LinuxHostNames(std::string machine_info = "/etc/machine-info")
      : machine_info_(std::move(machine_info)) {}
  std::optional<std::string> localized_name() override;
  std::string network_name() override;

 private:
  std::string machine_info_;
};

}  // namespace vessa::platform
