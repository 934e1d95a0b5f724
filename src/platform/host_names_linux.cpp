// Host names from /etc/machine-info and gethostname().
#include "platform/host_names_linux.hpp"

#include <unistd.h>

#include <array>

#include "support/fs.hpp"
#include "support/lines.hpp"

namespace vessa::platform {

std::optional<std::string> LinuxHostNames::localized_name() {
  auto text = fs::read_file(machine_info_);
  if (!text) return std::nullopt;
  for (const auto& line : split_lines(*text)) {
    std::string_view l(line);
    constexpr std::string_view kKey = "PRETTY_HOSTNAME=";
    if (!l.starts_with(kKey)) continue;
    std::string v = trim(l.substr(kKey.size()));
    // Shell-style quoting as written by hostnamectl.
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
      std::string unq;
      for (size_t i = 1; i + 1 < v.size(); ++i) {
        if (v[i] == '\\' && i + 2 < v.size()) ++i;
        unq.push_back(v[i]);
      }
      v = unq;
    }
    if (v.empty()) return std::nullopt;
    return v;
  }
  return std::nullopt;
}

std::string LinuxHostNames::network_name() {
  std::array<char, 256> buf{};
  if (::gethostname(buf.data(), buf.size() - 1) != 0) return "localhost";
  return {buf.data()};
}

}  // namespace vessa::platform
