// Serving the front end's files under the private "vessa" scheme, free of any web view type.
#include "platform/content_scheme.hpp"

#include <gio/gio.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <sstream>

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

// True when `candidate`, with every symbolic link resolved, lies inside `root_real`.
bool inside_root(const stdfs::path& root_real, const stdfs::path& candidate) {
  std::error_code ec;
  stdfs::path real = stdfs::canonical(candidate, ec);
  if (ec) return false;
  auto r = root_real.begin();
  auto c = real.begin();
  for (; r != root_real.end(); ++r, ++c) {
    if (c == real.end() || *r != *c) return false;
  }
  return true;
}

std::optional<std::string> read_whole(const stdfs::path& file) {
  std::error_code ec;
  if (!stdfs::is_regular_file(file, ec)) return std::nullopt;
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return std::move(buffer).str();
}

SchemeAnswer failed(std::string message) {
  SchemeAnswer a;
  a.error = std::move(message);
  return a;
}

}  // namespace

std::string mime_for_extension(std::string_view extension) {
  std::string ext(extension);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const auto& entry : kMimeTable) {
    if (entry.ext == ext) return std::string(entry.mime);
  }
  std::string fallback = "application/octet-stream";
  if (ext.empty()) return fallback;
  std::string name = "file." + ext;
  gboolean uncertain = FALSE;
  gchar* type = g_content_type_guess(name.c_str(), nullptr, 0, &uncertain);
  if (!type) return fallback;
  gchar* mime = g_content_type_get_mime_type(type);
  g_free(type);
  if (!mime) return fallback;
  std::string out = mime;
  g_free(mime);
  return out;
}

SchemeAnswer serve_content_request(const stdfs::path& root, const std::optional<std::string>& uri) {
  if (!uri || uri->empty()) return failed("no url");
  auto encoded = raw_path(*uri);
  if (!encoded) return failed("no url");

  // A path that does not decode (a stray "%" or an encoded NUL) names no file.
  gchar* decoded_c = g_uri_unescape_string(encoded->c_str(), nullptr);
  if (!decoded_c) return failed("not found: " + *encoded);
  std::string path = decoded_c;
  g_free(decoded_c);
  if (path.empty() || path == "/") path = "/index.html";

  if (climbs_out(path)) return failed("not found: " + path);

  std::error_code ec;
  stdfs::path root_real = stdfs::weakly_canonical(root, ec);
  if (ec) root_real = root;
  auto first = path.find_first_not_of('/');
  std::string relative = first == std::string::npos ? std::string() : path.substr(first);
  stdfs::path candidate = root / relative;

  if (!stdfs::exists(candidate, ec)) {
    if (!extension_of(path).empty()) return failed("not found: " + path);
    candidate = root / "index.html";
    if (!stdfs::exists(candidate, ec)) return failed("read failed: " + path);
  }
  // Symbolic links (or a fallback index.html) leading outside the root are not served.
  if (!inside_root(root_real, candidate)) return failed("not found: " + path);

  auto body = read_whole(candidate);
  if (!body) return failed("read failed: " + path);

  SchemeAnswer a;
  a.ok = true;
  a.content_type = mime_for_extension(extension_of(candidate.filename().string()));
  a.headers = {{"Content-Type", a.content_type},
               {"Content-Length", std::to_string(body->size())},
               {"Access-Control-Allow-Origin", "*"},
               {"Cache-Control", "no-cache"}};
  a.body = std::move(*body);
  return a;
}

}  // namespace vessa::platform
