// The opener plug-in: web addresses, files and folders through the desktop's default handlers.

#include <glib.h>

#include <filesystem>
#include <set>
#include <string_view>

#include "commands/command_registry.hpp"
#include "commands/families.hpp"
#include "platform/services.hpp"
#include "support/dispatch.hpp"
#include "support/paths.hpp"

namespace vessa::commands {
namespace {

namespace stdfs = std::filesystem;

constexpr std::string_view kOpenerPrefix = "plugin:opener|";

// The URIs an operation opens, or the page's failure message.
struct Targets {
  std::vector<std::string> uris;
  std::string error;
};

Targets targets_for(const std::string& op, const json& args) {
  Targets t;
  std::error_code ec;
  if (op == "open_url") {
    std::string url = string_arg(args, "url").value_or("");
    if (url.find('\0') != std::string::npos ||
        g_uri_is_valid(url.c_str(), G_URI_FLAGS_ENCODED, nullptr) == FALSE) {
      t.error = "open_url: not a URL: " + url;
    } else {
      t.uris.push_back(url);
    }
  } else if (op == "open_path") {
    std::string path = string_arg(args, "path").value_or("");
    auto uri = stdfs::exists(path, ec) ? paths::file_uri(path) : std::nullopt;
    if (!uri) {
      t.error = "open_path: no such file or folder: " + path;
    } else {
      t.uris.push_back(*uri);
    }
  } else {  // reveal_item_in_dir: the folder holding each item, each folder once
    auto it = args.find("paths");
    std::set<std::string> seen;
    if (it == args.end() || !it->is_array() || it->empty()) t.error = op + ": missing paths";
    for (const auto& item : it != args.end() && it->is_array() ? *it : json::array()) {
      std::string path = item.is_string() ? item.get<std::string>() : "";
      auto uri = !path.empty() && stdfs::exists(path, ec)
                     ? paths::file_uri(stdfs::absolute(path, ec).parent_path().string())
                     : std::nullopt;
      if (!uri) {
        t.error = op + ": no such file or folder: ";
        t.error += path;
        break;
      }
      if (seen.insert(*uri).second) t.uris.push_back(*uri);
    }
  }
  return t;
}

}  // namespace

bool handleOpener(FamilyContext& /*ctx*/, const std::string& cmd, const json& args,
                  const Completion& done) {
  if (!cmd.starts_with(kOpenerPrefix)) return false;
  const std::string op = cmd.substr(kOpenerPrefix.size());
  if (op != "open_url" && op != "open_path" && op != "reveal_item_in_dir") {
    done(CommandResult::failure("unsupported opener plugin command: " + cmd));
    return true;
  }
  // Checking paths and starting a handler may take a moment: off the main thread.
  dispatch::global_async([op, args, done] {
    Targets t = targets_for(op, args);
    auto opener = FamilyContext::services().url_opener;
    if (t.error.empty() && !opener) t.error = op + ": no handler to open with";
    if (!t.error.empty()) {
      done(CommandResult::failure(t.error));
      return;
    }
    for (const auto& uri : t.uris) {
      if (!opener->open_uri(uri)) {
        std::string message = op + ": could not open ";
        message += uri;
        done(CommandResult::failure(std::move(message)));
        return;
      }
    }
    done(CommandResult::success());
  });
  return true;
}

}  // namespace vessa::commands
