// Vault notes: any note text gives one record with a bounded title, bounded tags and a link
// that decodes back to the note's path; text that is not UTF-8 or blank gives none.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "commands/obsidian_vault.hpp"
#include "fuzz_support.hpp"
#include "support/lines.hpp"
#include "support/utf8.hpp"

namespace {

using vessa::fuzz::check;
namespace vault = vessa::commands::obsidian;

size_t scalars(std::string_view utf8) {
  size_t n = 0;
  for (unsigned char c : utf8) n += (c & 0xC0) != 0x80 ? 1 : 0;
  return n;
}

std::string percent_decode(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out.push_back(static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

const std::filesystem::path& vault_dir() {
  static const std::filesystem::path dir = vessa::fuzz::scratch_dir("vessa-fuzz-vault");
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  // The reader passes only UTF-8 text; any other must still be read within its bounds.
  const std::string title = vault::titleOf(text, "note.md");
  const bool utf8 = vessa::is_valid_utf8(text);
  check(!utf8 || title == "note" || scalars(title) <= 200, "title longer than 200 characters");
  const auto tags = vault::extractTags(text);
  check(tags.size() <= 50, "more than 50 tags");
  for (const auto& tag : tags) check(!tag.empty(), "an empty tag");

  const std::string encoded = vault::urlencode(text);
  for (char c : encoded) {
    check(std::isalnum(static_cast<unsigned char>(c)) ||
              std::string_view("-._~%").find(c) != std::string_view::npos,
          "a reserved character left in a link");
  }
  check(percent_decode(encoded) == text, "link does not decode to the path");

  std::ofstream(vault_dir() / "note.md", std::ios::binary | std::ios::trunc) << text;
  auto notes = vault::read(vault_dir().string());
  check(notes.has_value() && notes->is_array(), "vault did not read");
  const bool readable = utf8 && !vessa::trim(text).empty();
  check(notes->size() == (readable ? 1u : 0u), "wrong number of notes");
  if (readable) check((*notes)[0]["content"] == text, "note content changed");
  return 0;
}
