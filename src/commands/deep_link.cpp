// Links of the application's own URL scheme given on the command line.
#include "commands/deep_link.hpp"

#include <glib.h>

#include <algorithm>
#include <mutex>
#include <utility>

#include "commands/app_dirs.hpp"
#include "support/json.hpp"
#include "support/log.hpp"
#include "support/utf8.hpp"

namespace vessa::commands::deep_link {
namespace {

// Enough of a refused argument to recognise it in the log.
constexpr size_t kLoggedBytes = 200;

std::mutex& links_mutex() {
  static std::mutex m;
  return m;
}

std::optional<std::vector<std::string>>& stored_launch_links() {
  static std::optional<std::vector<std::string>> links;
  return links;
}

bool valid_scheme_name(const std::string& name) {
  if (name.empty() || !g_ascii_isalpha(name[0])) return false;
  return std::ranges::all_of(
      name, [](char c) { return g_ascii_isalnum(c) || c == '+' || c == '-' || c == '.'; });
}

// Why `argument` is not one of our links; nullopt when it is.
std::optional<std::string> refusal(const std::string& argument, const std::string& own) {
  if (argument.empty()) return "empty";
  if (argument.size() > kMaxLinkBytes) return "longer than " + std::to_string(kMaxLinkBytes);
  // A URL is printable ASCII; spaces, controls and raw UTF-8 mean it was not made as one.
  for (char c : argument) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7f) return "not a URL";
  }
  const char* found = g_uri_peek_scheme(argument.c_str());  // lower case, interned
  const std::string their = found ? found : "";
  if (their != own) return their.empty() ? "not a URL" : "scheme " + their + " is not ours";
  if (g_uri_is_valid(argument.c_str(), G_URI_FLAGS_ENCODED, nullptr) == FALSE) return "malformed";
  return std::nullopt;
}

void log_refused(const std::string& argument, const std::string& why) {
  std::string line = "deep link refused (" + why + "): ";
  encode_json_string_into(line, std::string_view(argument).substr(0, kLoggedBytes));
  if (argument.size() > kLoggedBytes) line += "\u2026";
  vessa::log(line);
}

}  // namespace

std::string scheme() {
  const std::string id = ascii_lower(app_dirs::identifier());
  // An identifier that cannot be a scheme name leaves the one the desktop entry declares.
  return valid_scheme_name(id) ? id : "app.vessa.desktop";
}

std::vector<std::string> links_in(const std::vector<std::string>& arguments) {
  const std::string own = scheme();
  std::vector<std::string> links;
  for (const auto& argument : arguments) {
    if (auto why = refusal(argument, own)) {
      log_refused(argument, *why);
    } else if (links.size() == kMaxLinks) {
      log_refused(argument, "more than " + std::to_string(kMaxLinks) + " links");
    } else {
      links.push_back(argument);
    }
  }
  return links;
}

std::optional<std::vector<std::string>> launch_links() {
  std::scoped_lock lock(links_mutex());
  return stored_launch_links();
}

void set_launch_links(std::vector<std::string> links) {
  std::scoped_lock lock(links_mutex());
  if (links.empty()) {
    stored_launch_links().reset();
  } else {
    stored_launch_links() = std::move(links);
  }
}

void Inbox::receive(const std::vector<std::string>& links, bool page_ready) {
  if (links.empty()) return;
  held_.push_back(links);
  if (page_ready) page_loaded();
}

void Inbox::page_loaded() {
  auto held = std::exchange(held_, {});
  for (const auto& links : held) deliver_(links);
}

}  // namespace vessa::commands::deep_link
