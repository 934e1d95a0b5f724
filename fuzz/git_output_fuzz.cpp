// Parsers of git's output: any bytes git could print yield lists and counts taken from them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "commands/git/git_command_shell.hpp"
#include "fuzz_support.hpp"
#include "support/utf8.hpp"

using vessa::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  // Status output is decoded before it is parsed, as the status command does.
  const std::string text = vessa::utf8_lossy(raw);

  const auto lists = vessa::commands::git::parse_porcelain_z(text);
  size_t entries = 1;
  for (char c : text) entries += c == '\0' ? 1 : 0;
  for (const auto* list :
       {&lists.conflict_files, &lists.modified, &lists.staged_files, &lists.untracked_files}) {
    check(list->size() <= entries, "more paths than entries");
    for (const auto& path : *list) {
      check(path.find('\0') == std::string::npos, "a path spans two entries");
      check(text.find(path) != std::string::npos, "a path that git did not print");
    }
  }

  (void)vessa::commands::git::parse_ahead_behind(text);
  if (auto line = vessa::commands::git::GitCommandShell::firstLine(text)) {
    check(!line->empty() && line->find('\n') == std::string::npos, "first line is not one line");
  }

  // Every int reads back from its decimal text; text that is not a whole number never reads.
  if (auto value = vessa::commands::git::parse_int(raw)) {
    check(vessa::commands::git::parse_int(std::to_string(*value)) == value,
          "integer does not round-trip");
  }
  if (size >= sizeof(int)) {
    int n = 0;
    std::memcpy(&n, data, sizeof n);
    check(vessa::commands::git::parse_int(std::to_string(n)) == n,
          "integer text does not read back");
  }
  return 0;
}
