// Links of the application's own URL scheme given on the command line: which arguments count,
// the links this instance started with, and holding links until the page can take them.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vessa::commands::deep_link {

/// The event that carries links to the page; its payload is the array of link strings.
inline constexpr const char* kNewUrlEvent = "deep-link://new-url";
/// Longer arguments are refused: a link is a few hundred bytes, an OAuth callback a few KiB.
inline constexpr size_t kMaxLinkBytes = size_t{8} * 1024;
/// Links taken from one command line; the rest are refused.
inline constexpr size_t kMaxLinks = 16;

/// The application's own URL scheme: its identifier in lower case, a reverse-domain name as
/// RFC 7595 advises for private schemes (never the content scheme "vessa"). The desktop entry
/// declares the same scheme. Any thread.
std::string scheme();

/// The arguments that are links of scheme(), in order. Everything else is hostile until proven
/// otherwise (a web page can make the desktop start us with any link): it is refused and
/// logged, never opened or passed on.
std::vector<std::string> links_in(const std::vector<std::string>& arguments);

/// The links this instance was started with; nullopt when it was started without one. Any
/// thread.
std::optional<std::vector<std::string>> launch_links();
/// Records the launch's links (an empty list records none). Any thread.
void set_launch_links(std::vector<std::string> links);

/// Links on their way to the page: handed on at once while a page is up, else held until the
/// next page load has finished, so links that came with the launch are not lost. Main thread.
class Inbox {
 public:
  using Deliver = std::function<void(const std::vector<std::string>& links)>;
  explicit Inbox(Deliver deliver) : deliver_(std::move(deliver)) {}

  /// New links; `page_ready` says whether a loaded page can take them now.
  void receive(const std::vector<std::string>& links, bool page_ready);
  /// A page load finished: the held links go to it, in the order they came.
  void page_loaded();

 private:
  Deliver deliver_;
  std::vector<std::vector<std::string>> held_;
};

}  // namespace vessa::commands::deep_link
