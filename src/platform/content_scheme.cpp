// Serving the front end's files under the private "vessa" scheme, free of any web view type.
#include "platform/content_scheme.hpp"

#include <fcntl.h>
#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

#include "support/fs.hpp"
#include "support/glib_ptr.hpp"
#include "support/utf8.hpp"

namespace vessa::platform {
namespace {

namespace stdfs = std::filesystem;

struct MimeEntry {
  std::string_view ext;
  std::string_view mime;
};

constexpr MimeEntry kMimeTable[] = {
    {"html", "text/html; charset=utf-8"},
    {"htm", "text/html; charset=utf-8"},
    {"js", "application/javascript; charset=utf-8"},
    {"mjs", "application/javascript; charset=utf-8"},
    {"css", "text/css; charset=utf-8"},
    {"json", "application/json; charset=utf-8"},
    {"svg", "image/svg+xml"},
    {"png", "image/png"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"gif", "image/gif"},
    {"webp", "image/webp"},
    {"ico", "image/x-icon"},
    {"woff", "font/woff"},
    {"woff2", "font/woff2"},
    {"ttf", "font/ttf"},
    {"map", "application/json"},
    {"wasm", "application/wasm"},
};

// The part after the last dot of the last path component ("" when there is none).
std::string extension_of(std::string_view path) {
  auto slash = path.rfind('/');
  std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
  auto dot = last.rfind('.');
  if (dot == std::string_view::npos) return {};
  return std::string(last.substr(dot + 1));
}

// The raw (still percent-encoded) path of `uri`, without query or fragment; nullopt when the
// text is not an absolute address. Parsed by hand: a strict parser would refuse stray "%"
// signs and quietly resolve dot segments, hiding what the page asked for.
std::optional<std::string> raw_path(const std::string& uri) {
  auto colon = uri.find(':');
  if (colon == std::string::npos || colon == 0) return std::nullopt;
  size_t at = colon + 1;
  if (uri.compare(at, 2, "//") == 0) {
    at = uri.find_first_of("/?#", at + 2);
    if (at == std::string::npos) return std::string();
  }
  size_t end = uri.find_first_of("?#", at);
  return uri.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

bool climbs_out(std::string_view decoded) {
  size_t start = 0;
  while (start <= decoded.size()) {
    size_t end = decoded.find('/', start);
    if (end == std::string_view::npos) end = decoded.size();
    if (decoded.substr(start, end - start) == "..") return true;
    start = end + 1;
  }
  return false;
}

// Where resolving a request path beneath the root ended.
enum class Resolved { kFile, kMissing, kOutside, kUnreadable };

std::vector<std::string> split_path(std::string_view path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) parts.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

constexpr int kMaxLinks = 40;

// Opens `relative` beneath the folder `root_fd` (whose real path is `root_real`) one component
// at a time, never following a link blindly: each link is read from the very descriptor that was
// opened and checked before the walk goes on, so swapping a link in between cannot lead the walk
// outside the root. Links that stay inside the root (relative, or absolute into it) are followed.
Resolved open_beneath(int root_fd, const std::string& root_real, std::string_view relative,
                      fs::UniqueFd& out) {
  std::vector<fs::UniqueFd> dirs;
  dirs.emplace_back(::fcntl(root_fd, F_DUPFD_CLOEXEC, 0));
  if (!dirs.back()) return Resolved::kUnreadable;
  std::vector<std::string> todo = split_path(relative);
  std::ranges::reverse(todo);  // a stack: the next component is at the back
  int links = 0;
  while (!todo.empty()) {
    std::string name = std::move(todo.back());
    todo.pop_back();
    if (name == ".") continue;
    if (name == "..") {
      if (dirs.size() == 1) return Resolved::kOutside;
      dirs.pop_back();
      continue;
    }
    const int parent = dirs.back().get();
    fs::UniqueFd node(::openat(parent, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!node) {
      return errno == ENOENT || errno == ENOTDIR ? Resolved::kMissing : Resolved::kUnreadable;
    }
    struct stat st {};
    if (::fstat(node.get(), &st) != 0) return Resolved::kUnreadable;
    if (S_ISLNK(st.st_mode)) {
      if (++links > kMaxLinks) return Resolved::kUnreadable;
      std::string target(PATH_MAX, '\0');
      ssize_t n = ::readlinkat(node.get(), "", target.data(), target.size());
      if (n <= 0 || static_cast<size_t>(n) >= target.size()) return Resolved::kUnreadable;
      target.resize(static_cast<size_t>(n));
      if (target.front() == '/') {
        // An absolute link is followed only into the root itself.
        if (!target.starts_with(root_real) ||
            (target.size() > root_real.size() && target[root_real.size()] != '/')) {
          return Resolved::kOutside;
        }
        target.erase(0, root_real.size());
        dirs.resize(1);
      }
      std::vector<std::string> parts = split_path(target);
      todo.insert(todo.end(), parts.rbegin(), parts.rend());
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      if (todo.empty()) return Resolved::kUnreadable;  // a folder is not served
      dirs.push_back(std::move(node));                 // the walk goes on from exactly this folder
      continue;
    }
    if (!todo.empty()) return Resolved::kMissing;            // a file where a folder was expected
    if (!S_ISREG(st.st_mode)) return Resolved::kUnreadable;  // FIFOs and devices never block us
    fs::UniqueFd file(
        ::openat(parent, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened {};
    // The name may have been swapped since it was checked: serve only that same file.
    if (!file || ::fstat(file.get(), &opened) != 0 || opened.st_dev != st.st_dev ||
        opened.st_ino != st.st_ino) {
      return Resolved::kUnreadable;
    }
    out = std::move(file);
    return Resolved::kFile;
  }
  return Resolved::kUnreadable;  // the root itself
}

std::optional<std::string> read_all(int fd) {
  std::string out;
  char buf[1 << 16];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
}

SchemeAnswer failed(std::string message) {
  SchemeAnswer a;
  a.error = std::move(message);
  return a;
}

}  // namespace

std::string mime_for_extension(std::string_view extension) {
  const std::string ext = ascii_lower(extension);
  for (const auto& entry : kMimeTable) {
    if (entry.ext == ext) return std::string(entry.mime);
  }
  std::string fallback = "application/octet-stream";
  if (ext.empty()) return fallback;
  std::string name = "file." + ext;
  gboolean uncertain = FALSE;
  GCharPtr type(g_content_type_guess(name.c_str(), nullptr, 0, &uncertain));
  if (!type) return fallback;
  GCharPtr mime(g_content_type_get_mime_type(type.get()));
  if (!mime) return fallback;
  return {mime.get()};
}

SchemeAnswer serve_content_request(const stdfs::path& root, const std::optional<std::string>& uri) {
  if (!uri || uri->empty()) return failed("no url");
  auto encoded = raw_path(*uri);
  if (!encoded) return failed("no url");

  // A path that does not decode (a stray "%" or an encoded NUL) names no file.
  GCharPtr decoded(g_uri_unescape_string(encoded->c_str(), nullptr));
  if (!decoded) return failed("not found: " + *encoded);
  std::string path = decoded.get();
  if (path.empty() || path == "/") path = "/index.html";

  if (climbs_out(path)) return failed("not found: " + path);

  std::error_code ec;
  const std::string root_real = stdfs::canonical(root, ec).string();
  if (ec) return failed("read failed: " + path);
  fs::UniqueFd root_fd(::open(root_real.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!root_fd) return failed("read failed: " + path);

  fs::UniqueFd file;
  std::string served = path;
  Resolved r = open_beneath(root_fd.get(), root_real, path, file);
  if (r == Resolved::kMissing) {
    if (!extension_of(path).empty()) return failed("not found: " + path);
    // Routes without an extension are the front end's own: its index.html answers them.
    served = "/index.html";
    r = open_beneath(root_fd.get(), root_real, served, file);
    if (r == Resolved::kMissing) return failed("read failed: " + path);
  }
  if (r == Resolved::kOutside) return failed("not found: " + path);
  if (r != Resolved::kFile) return failed("read failed: " + path);

  auto body = read_all(file.get());
  if (!body) return failed("read failed: " + path);

  SchemeAnswer a;
  a.ok = true;
  a.content_type = mime_for_extension(extension_of(served));
  a.headers = {{"Content-Type", a.content_type},
               {"Content-Length", std::to_string(body->size())},
               {"Access-Control-Allow-Origin", "*"},
               {"Cache-Control", "no-cache"}};
  a.body = std::move(*body);
  return a;
}

}  // namespace vessa::platform
