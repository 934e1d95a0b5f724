// Quoting for the few /bin/sh lines we build ourselves (terminal commands, the update script).
#pragma once

#include <string>
#include <string_view>

namespace vessa {

/// `text` as one /bin/sh word: single-quoted, each embedded single quote spliced in as '\''.
/// Every other byte (newlines, "$", backquotes, non-ASCII) is literal inside single quotes.
std::string shell_quote(std::string_view text);

}  // namespace vessa
