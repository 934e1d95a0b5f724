// Facts about the running application bundle (Info.json).
#include "support/bundle.hpp"

#include "support/paths.hpp"

namespace vessa::bundle {

json info() {
  auto dir = paths::bundle_dir();
  if (!dir) return json::object();
  auto parsed = read_json_file((*dir / "Info.json").string());
  if (!parsed || !parsed->is_object()) return json::object();
  return *parsed;
}

std::string info_string(const std::string& key, const std::string& fallback) {
  auto v = string_arg(info(), key);
  return v ? *v : fallback;
}

}  // namespace vessa::bundle
