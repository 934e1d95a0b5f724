// The page script with the Tauri 2 plug-ins' page-side parts.
#include "bridge/plugin_shim.hpp"

#include <sys/utsname.h>

#include "support/fs.hpp"

namespace vessa::bridge::page_scripts {
namespace {

// The distribution's VERSION_ID ("12" on Debian 12), else the kernel release.
std::string os_version(const std::string& kernel_release) {
  if (auto text = fs::read_file("/etc/os-release")) {
    size_t at = text->find("\nVERSION_ID=");
    size_t start = at == std::string::npos ? std::string::npos : at + 12;
    if (text->starts_with("VERSION_ID=")) start = 11;
    if (start != std::string::npos) {
      std::string value = text->substr(start, text->find('\n', start) - start);
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
      }
      if (!value.empty()) return value;
    }
  }
  return kernel_release;
}

}  // namespace

json os_plugin_info() {
  struct utsname uts {};
  const bool named = ::uname(&uts) == 0;
  return json{{"eol", "\n"},
              {"platform", "linux"},
              {"family", "unix"},
              {"os_type", "linux"},
              {"arch", named ? uts.machine : "unknown"},
              {"exe_extension", ""},
              {"version", os_version(named ? uts.release : "unknown")}};
}

std::string plugin_shim_script() {
  static constexpr std::string_view kMarker = "__VESSA_OS_INFO__";
  std::string script(embedded::kPluginShimSource);
  if (auto at = script.find(kMarker); at != std::string::npos) {
    script.replace(at, kMarker.size(), encode_json(os_plugin_info()));
  }
  return script;
}

}  // namespace vessa::bridge::page_scripts
