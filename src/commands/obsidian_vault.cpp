// Reads an Obsidian vault (a folder of Markdown notes) into note records for the page.
#include "commands/obsidian_vault.hpp"

#include <dirent.h>
#include <glib.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <utility>

#include "support/fs.hpp"
#include "support/utf8.hpp"

namespace vessa::commands::obsidian {
namespace {

constexpr size_t kMaxTitleScalars = 200;
constexpr size_t kMaxInlineTags = 50;
// Notes are prose; anything bigger is not a note (or is a link to a device) and is skipped
// rather than read into one result the page must hold.
constexpr std::uintmax_t kMaxNoteBytes = 10ULL * 1024 * 1024;

// Decodes the code point at `i` and moves past it. Text is validated before it gets here; a
// stray byte still decodes as itself so nothing reads past the end.
char32_t next_scalar(std::string_view s, size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  size_t len = b0 < 0x80 ? 1 : b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : b0 >= 0xC0 ? 2 : 1;
  if (i + len > s.size()) len = 1;
  char32_t cp = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
  for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  i += len;
  return cp;
}

// Unicode white space and line breaks (the Z categories, the ASCII controls 9-13, U+0085).
bool is_space(char32_t c) {
  if (c < 0x80) return c == ' ' || (c >= 0x09 && c <= 0x0D);
  return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
         c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

bool is_letter(char32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  switch (g_unichar_type(static_cast<gunichar>(c))) {
    case G_UNICODE_LOWERCASE_LETTER:
    case G_UNICODE_MODIFIER_LETTER:
    case G_UNICODE_OTHER_LETTER:
    case G_UNICODE_TITLECASE_LETTER:
    case G_UNICODE_UPPERCASE_LETTER:
      return true;
    default:
      return false;
  }
}

// Letters, digits, "-", "_", "/"; combining marks too, since they belong to the letter before.
bool is_tag_char(char32_t c) {
  if (c < 0x80) {
    return is_letter(c) || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '/';
  }
  if (is_letter(c)) return true;
  switch (g_unichar_type(static_cast<gunichar>(c))) {
    case G_UNICODE_DECIMAL_NUMBER:
    case G_UNICODE_SPACING_MARK:
    case G_UNICODE_ENCLOSING_MARK:
    case G_UNICODE_NON_SPACING_MARK:
      return true;
    default:
      return false;
  }
}

// Start of the code point that ends just before `end`.
size_t previous_start(std::string_view s, size_t end) {
  size_t i = end - 1;
  while (i > 0 && end - i < 4 && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) --i;
  return i;
}

template <typename Pred>
std::string_view trim_if(std::string_view s, Pred drop) {
  size_t b = 0;
  while (b < s.size()) {
    size_t next = b;
    if (!drop(next_scalar(s, next))) break;
    b = next;
  }
  size_t e = s.size();
  while (e > b) {
    size_t start = previous_start(s, e);
    size_t probe = start;
    if (!drop(next_scalar(s, probe))) break;
    e = start;
  }
  return s.substr(b, e - b);
}

std::string_view trim_ws(std::string_view s) { return trim_if(s, is_space); }

// Splits at every code point for which `sep` holds; empty pieces are kept.
template <typename Pred>
std::vector<std::string_view> split_at(std::string_view s, Pred sep) {
  std::vector<std::string_view> out;
  size_t piece = 0;
  size_t i = 0;
  while (i < s.size()) {
    size_t at = i;
    char32_t c = next_scalar(s, i);
    if (sep(c)) {
      out.push_back(s.substr(piece, at - piece));
      piece = i;
    }
  }
  out.push_back(s.substr(piece));
  return out;
}

// The front matter between "---\n" and the next "\n---", and the text after that marker.
struct FrontMatter {
  bool found = false;
  std::string_view inner;
  std::string_view body;
};

FrontMatter split_front_matter(std::string_view text) {
  FrontMatter fm;
  fm.body = text;
  if (!text.starts_with("---\n")) return fm;
  std::string_view rest = text.substr(4);
  auto close = rest.find("\n---");
  if (close == std::string_view::npos) return fm;
  fm.found = true;
  fm.inner = rest.substr(0, close);
  fm.body = rest.substr(close + 4);
  return fm;
}

void add_tag(std::vector<std::string>& tags, std::string_view tag) {
  if (std::ranges::find(tags, tag) == tags.end()) tags.emplace_back(tag);
}

std::string file_name(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A leading dot starts a hidden name, not an extension.
std::string without_extension(const std::string& name) {
  auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return name;
  return name.substr(0, dot);
}

bool ends_with_md_any_case(std::string_view name) {
  if (name.size() < 3) return false;
  auto tail = name.substr(name.size() - 3);
  return tail[0] == '.' && (tail[1] == 'm' || tail[1] == 'M') && (tail[2] == 'd' || tail[2] == 'D');
}

bool is_directory(const std::string& path, struct stat& st) {
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class Collector {
 public:
  explicit Collector(std::vector<std::string>& out) : out_(out) {}

  void collect(const std::string& dir, const struct stat& st, int depth) {
    if (depth > kMaxDepth) return;
    // A folder reached again through a link (or a link loop) is not read a second time.
    if (!visited_.emplace(st.st_dev, st.st_ino).second) return;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return;
    std::vector<std::pair<std::string, unsigned char>> entries;
    while (const dirent* e = ::readdir(d)) {
      std::string_view name = e->d_name;
      if (name == "." || name == "..") continue;
      entries.emplace_back(std::string(name), e->d_type);
    }
    ::closedir(d);
    const std::string prefix = dir.back() == '/' ? dir : dir + "/";
    for (const auto& [name, type] : entries) {
      std::string path = prefix + name;
      struct stat child {};
      // Regular files need no stat; links and unknown types are resolved (links to folders count).
      if (type != DT_REG && is_directory(path, child)) {
        if (std::ranges::find(skipDirs, name) == skipDirs.end()) {
          collect(path, child, depth + 1);
        }
      } else if (ends_with_md_any_case(name)) {
        out_.push_back(std::move(path));
      }
    }
  }

 private:
  std::vector<std::string>& out_;
  std::set<std::pair<dev_t, ino_t>> visited_;
};

}  // namespace

std::vector<std::string_view> lines(std::string_view text) {
  std::vector<std::string_view> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    out.push_back(line);
    start = end + 1;
  }
  return out;
}

std::string urlencode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

std::string titleOf(std::string_view text, const std::string& file) {
  for (std::string_view line : lines(split_front_matter(text).body)) {
    size_t i = 0;
    while (i < line.size()) {
      size_t next = i;
      if (!is_space(next_scalar(line, next))) break;
      i = next;
    }
    std::string_view rest = line.substr(i);
    if (!rest.starts_with("# ")) continue;
    std::string_view candidate = trim_ws(rest.substr(2));
    if (candidate.empty()) continue;
    size_t end = 0;
    for (size_t count = 0; end < candidate.size() && count < kMaxTitleScalars; ++count) {
      next_scalar(candidate, end);
    }
    return std::string(candidate.substr(0, end));
  }
  std::string name = without_extension(file_name(file));
  return name.empty() ? "Untitled" : name;
}

std::vector<std::string> extractTags(std::string_view text) {
  std::vector<std::string> tags;
  FrontMatter fm = split_front_matter(text);
  if (fm.found) {
    for (std::string_view raw : lines(fm.inner)) {
      std::string_view line = trim_ws(raw);
      if (!line.starts_with("tags:")) continue;
      auto pieces = split_at(line.substr(5), [](char32_t c) {
        return c == ',' || c == '[' || c == ']' || is_space(c);
      });
      for (std::string_view piece : pieces) {
        piece = trim_if(piece, [](char32_t c) { return c == '"' || c == '\'' || is_space(c); });
        if (!piece.empty()) add_tag(tags, piece);
      }
    }
  }
  for (std::string_view word : split_at(text, is_space)) {
    if (tags.size() >= kMaxInlineTags) break;
    if (word.empty() || word.front() != '#') continue;
    size_t i = 1;
    size_t end = 1;
    bool first_is_letter = false;
    while (i < word.size()) {
      char32_t c = next_scalar(word, i);
      if (!is_tag_char(c)) break;
      if (end == 1) first_is_letter = is_letter(c);
      end = i;
    }
    std::string_view tag = word.substr(1, end - 1);
    if (tag.size() >= 2 && first_is_letter) add_tag(tags, tag);
  }
  return tags;
}

std::vector<std::string> collectMarkdown(const std::string& dir) {
  std::vector<std::string> out;
  struct stat st {};
  if (is_directory(dir, st)) Collector(out).collect(dir, st, 0);
  return out;
}

tl::expected<json, std::string> read(const std::string& path) {
  std::string root = path;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  struct stat st {};
  if (!is_directory(root, st)) return tl::unexpected("Not a folder: " + path);

  std::string vault_name = file_name(root);
  if (vault_name.empty()) vault_name = "vault";
  const std::string encoded_vault = urlencode(vault_name);
  const std::string prefix = root + "/";

  json notes = json::array();
  for (const std::string& file : collectMarkdown(root)) {
    auto text = fs::read_regular_file(file, kMaxNoteBytes);
    if (!text || !is_valid_utf8(*text) || trim_ws(*text).empty()) continue;
    std::string relative = file.starts_with(prefix) ? file.substr(prefix.size()) : file;
    std::string_view link_path = relative;
    if (link_path.size() >= 3 && link_path.substr(link_path.size() - 3) == ".md") {
      link_path.remove_suffix(3);
    }
    json tags = json::array();
    for (auto& tag : extractTags(*text)) tags.push_back(std::move(tag));
    json note = json::object();
    note["title"] = titleOf(*text, file);
    note["sourceUrl"] = "obsidian://open?vault=" + encoded_vault + "&file=" + urlencode(link_path);
    note["tags"] = std::move(tags);
    note["externalId"] = std::move(relative);
    note["content"] = std::move(*text);
    notes.push_back(std::move(note));
  }
  return notes;
}

}  // namespace vessa::commands::obsidian
