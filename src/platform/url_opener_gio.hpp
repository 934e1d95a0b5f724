// Opening URIs with the user's default applications through GIO.
#pragma once

#include "platform/services.hpp"

namespace vessa::platform {

class GioUrlOpener : public UrlOpener {
 public:
  bool open_uri(const std::string& uri) override;
};

}  // namespace vessa::platform
