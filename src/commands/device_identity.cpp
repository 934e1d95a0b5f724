// What the page is told about this device's stored identity.
#include "commands/device_identity.hpp"

#include "support/fs.hpp"
#include "support/lines.hpp"

namespace vessa::commands {

json deviceIdentity(const std::string& config_path) {
  json config = json::object();
  if (auto text = fs::read_file(config_path)) {
    if (auto parsed = parse_json(*text); parsed && parsed->is_object()) config = std::move(*parsed);
  }
  json client_id = nullptr;
  if (auto it = config.find("clientId"); it != config.end() && it->is_string()) {
    // Compared as stored: this placeholder set is narrower than the executor launch's rule.
    const auto& id = it->get_ref<const std::string&>();
    if (!id.empty() && id != "desktop" && id != "unknown" && id != "vessa-desktop") client_id = id;
  }
  json device_name = nullptr;
  if (auto it = config.find("deviceName"); it != config.end() && it->is_string()) {
    const auto& name = it->get_ref<const std::string&>();
    if (!trim(name).empty()) device_name = name;
  }
  return json{{"clientId", client_id}, {"deviceName", device_name}};
}

}  // namespace vessa::commands
