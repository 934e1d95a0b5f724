// The per-launch UI token shared by the page and the executor sidecar.
#include "bridge/ui_token.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "support/json.hpp"
#include "support/log.hpp"

namespace vessa::bridge::ui_token {
namespace detail {

std::string base64url(const unsigned char* data, size_t size) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < size; i += 3) {
    uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(kAlphabet[(v >> 6) & 63]);
    out.push_back(kAlphabet[v & 63]);
  }
  if (size - i == 1) {
    uint32_t v = uint32_t{data[i]} << 16;
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
  } else if (size - i == 2) {
    uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8);
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(kAlphabet[(v >> 6) & 63]);
  }
  return out;
}

std::optional<std::string> mint(bool (*secure_random)(unsigned char*, size_t),
                                const char* urandom_path) {
  std::array<unsigned char, 32> bytes{};
  if (secure_random != nullptr && secure_random(bytes.data(), bytes.size())) {
    return base64url(bytes.data(), bytes.size());
  }
  int fd = ::open(urandom_path, O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    size_t got = 0;
    while (got < bytes.size()) {
      ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    ::close(fd);
    if (got == bytes.size()) return base64url(bytes.data(), bytes.size());
  }
  vessa::log("UIToken: no CSPRNG available \u2014 UI token disabled for this launch");
  return std::nullopt;
}

std::string script_for(const std::string& token) {
  std::string literal;
  encode_json_string_into(literal, token);
  return "(function () {\n  var v = " + literal +
         ";\n"
         "  try {\n"
         "    Object.defineProperty(window, '__VESSA_UI_TOKEN', {\n"
         "      value: v, writable: false, configurable: false, enumerable: false\n"
         "    });\n"
         "  } catch (e) {\n"
         "    window.__VESSA_UI_TOKEN = v;\n"
         "  }\n"
         "})();";
}

}  // namespace detail

namespace {

bool system_random(unsigned char* buf, size_t size) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = ::getrandom(buf + got, size - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

const std::optional<std::string>& value() {
  static const std::optional<std::string> token = detail::mint(system_random, "/dev/urandom");
  return token;
}

std::optional<std::string> injectionScript() {
  const auto& token = value();
  if (!token) return std::nullopt;
  return detail::script_for(*token);
}

}  // namespace vessa::bridge::ui_token
