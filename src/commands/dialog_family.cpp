// Dialog plug-in commands: choosing files or folders to open, a file to save to, and message
// panels whose answer is the label of the button clicked.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "commands/command_registry.hpp"
#include "commands/families.hpp"
#include "platform/services.hpp"
#include "support/dispatch.hpp"

namespace vessa::commands {
namespace {

// The plug-in package sends open and save options as {options: {...}}; the older form gives
// them at the top level.
const json& options_of(const json& args) {
  auto it = args.find("options");
  return it != args.end() && it->is_object() ? *it : args;
}

// Malformed filters and extensions are skipped, as any mistyped option takes its default.
std::vector<platform::FileFilter> filters_of(const json& options) {
  std::vector<platform::FileFilter> filters;
  auto list = options.find("filters");
  if (list == options.end() || !list->is_array()) return filters;
  for (const auto& entry : *list) {
    if (!entry.is_object()) continue;
    platform::FileFilter filter{string_arg(entry, "name").value_or(""), {}};
    if (auto exts = entry.find("extensions"); exts != entry.end() && exts->is_array()) {
      for (const auto& ext : *exts) {
        if (ext.is_string() && !ext.get_ref<const std::string&>().empty()) {
          filter.extensions.push_back(ext.get<std::string>());
        }
      }
    }
    if (!filter.extensions.empty()) filters.push_back(std::move(filter));
  }
  return filters;
}

platform::ChooserOptions chooser_options(const json& args, bool directories_by_default) {
  const json& options = options_of(args);
  platform::ChooserOptions o;
  o.directories = bool_arg(options, "directory").value_or(directories_by_default);
  o.multiple = bool_arg(options, "multiple").value_or(false);
  o.title = string_arg(options, "title");
  o.filters = filters_of(options);
  o.default_path = string_arg(options, "defaultPath");
  return o;
}

json open_result(const std::optional<std::vector<std::string>>& chosen, bool multiple) {
  if (!chosen) return nullptr;
  if (multiple) return *chosen;
  if (chosen->empty()) return nullptr;
  return chosen->front();
}

// The labels of the package's button sets ("OkCancel", {OkCancelCustom: [ok, cancel]}, ...),
// the affirmative one first; nullopt for a set that does not exist.
std::optional<std::vector<std::string>> button_labels(const json& args) {
  const json buttons = args.value("buttons", json());
  if (buttons.is_null()) return std::vector<std::string>{"Ok"};
  if (buttons.is_string()) {
    const auto& set = buttons.get_ref<const std::string&>();
    if (set == "Ok") return std::vector<std::string>{"Ok"};
    if (set == "OkCancel") return std::vector<std::string>{"Ok", "Cancel"};
    if (set == "YesNo") return std::vector<std::string>{"Yes", "No"};
    if (set == "YesNoCancel") return std::vector<std::string>{"Yes", "No", "Cancel"};
    return std::nullopt;
  }
  if (!buttons.is_object() || buttons.size() != 1) return std::nullopt;
  const auto& [set, value] = *buttons.get_ref<const json::object_t&>().begin();
  const size_t count = set == "OkCustom"            ? 1
                       : set == "OkCancelCustom"    ? 2
                       : set == "YesNoCancelCustom" ? 3
                                                    : 0;
  std::vector<std::string> labels;
  if (count == 1 && value.is_string()) labels.push_back(value.get<std::string>());
  if (count > 1 && value.is_array() && value.size() == count) {
    for (const auto& label : value) {
      if (!label.is_string()) return std::nullopt;
      labels.push_back(label.get<std::string>());
    }
  }
  if (count == 0 || labels.size() != count) return std::nullopt;
  return labels;
}

platform::MessageKind message_kind(const json& args) {
  auto kind = string_arg(args, "kind").value_or("info");
  if (kind == "warning") return platform::MessageKind::kWarning;
  if (kind == "error") return platform::MessageKind::kError;
  return platform::MessageKind::kInfo;
}

}  // namespace

bool handleDialog(FamilyContext& /*ctx*/, const std::string& cmd, const json& args,
                  const Completion& done) {
  if (cmd == "plugin:dialog|open" || cmd == "open_folder_dialog") {
    auto options = chooser_options(args, cmd == "open_folder_dialog");
    dispatch::main_async([options, done] {
      auto dialogs = FamilyContext::services().dialogs;
      done(CommandResult::success(
          dialogs ? open_result(dialogs->choose_paths(options), options.multiple) : json(nullptr)));
    });
    return true;
  }
  if (cmd == "plugin:dialog|save") {
    auto options = chooser_options(args, false);
    options.directories = false;
    options.multiple = false;
    dispatch::main_async([options, done] {
      auto dialogs = FamilyContext::services().dialogs;
      auto chosen = dialogs ? dialogs->choose_save_path(options) : std::nullopt;
      done(CommandResult::success(chosen ? json(*chosen) : json(nullptr)));
    });
    return true;
  }
  if (cmd == "plugin:dialog|message") {
    platform::MessageOptions options;
    auto message = string_arg(args, "message");
    auto labels = button_labels(args);
    if (!message) {
      done(CommandResult::failure(cmd + ": missing message"));
      return true;
    }
    if (!labels) {
      done(CommandResult::failure(cmd + ": unsupported buttons"));
      return true;
    }
    options.message = std::move(*message);
    options.title = string_arg(args, "title");
    options.kind = message_kind(args);
    options.buttons = std::move(*labels);
    dispatch::main_async([options, done] {
      auto dialogs = FamilyContext::services().dialogs;
      auto clicked = dialogs ? dialogs->show_message(options) : std::nullopt;
      // Closing the panel (or having none) answers as its dismissing button, the last one.
      const size_t last = options.buttons.size() - 1;
      done(CommandResult::success(options.buttons[std::min(clicked.value_or(last), last)]));
    });
    return true;
  }
  return false;
}

}  // namespace vessa::commands
