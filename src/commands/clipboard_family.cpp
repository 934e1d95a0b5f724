// The clipboard-manager plug-in: plain text and HTML through the platform clipboard.
#include <string_view>

#include "commands/command_registry.hpp"
#include "commands/families.hpp"
#include "platform/services.hpp"
#include "support/dispatch.hpp"

namespace vessa::commands {
namespace {

constexpr std::string_view kClipboardPrefix = "plugin:clipboard-manager|";
constexpr const char* kEmpty =
    "The clipboard contents were not available in the requested format or the clipboard is "
    "empty.";

CommandResult written(bool ok) {
  return ok ? CommandResult::success() : CommandResult::failure("clipboard unavailable");
}

void clipboard_command(const std::string& op, const json& args, const Completion& done) {
  auto clipboard = FamilyContext::services().clipboard;
  if (!clipboard) {
    done(CommandResult::failure("clipboard unavailable"));
  } else if (op == "write_text") {
    done(written(clipboard->write_text(string_arg(args, "text").value_or(""))));
  } else if (op == "write_html") {
    std::string html = string_arg(args, "html").value_or("");
    done(written(clipboard->write_html(html, string_arg(args, "altText").value_or(html))));
  } else if (op == "clear") {
    done(written(clipboard->clear()));
  } else if (op == "read_text") {
    clipboard->read_text([done](std::optional<std::string> text) {
      done(text ? CommandResult::success(*text) : CommandResult::failure(kEmpty));
    });
  } else {
    done(CommandResult::failure("unsupported clipboard-manager plugin command: " + op));
  }
}

}  // namespace

bool handleClipboard(FamilyContext& /*ctx*/, const std::string& cmd, const json& args,
                     const Completion& done) {
  if (!cmd.starts_with(kClipboardPrefix)) return false;
  const std::string op = cmd.substr(kClipboardPrefix.size());
  if (op != "write_text" && op != "write_html" && op != "clear" && op != "read_text") {
    done(CommandResult::failure("unsupported clipboard-manager plugin command: " + op));
    return true;
  }
  if (!string_arg(args, op == "write_html" ? "html" : "text") && op.starts_with("write")) {
    done(CommandResult::failure(op + ": missing " + (op == "write_html" ? "html" : "text")));
    return true;
  }
  // The clipboard belongs to the main thread.
  dispatch::main_async([op, args, done] { clipboard_command(op, args, done); });
  return true;
}

}  // namespace vessa::commands
