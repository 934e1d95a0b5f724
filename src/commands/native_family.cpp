// Platform plug-in commands: store, notifications, app, shell, process, updater, plus the
// executor start, the preview window and the repository-discovery routes (the window and the
// dialogs have their own families).
#include <glib.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

#include "commands/background.hpp"
#include "commands/command_registry.hpp"
#include "commands/families.hpp"
#include "commands/relaunch.hpp"
#include "commands/repo_discovery.hpp"
#include "commands/store_manager.hpp"
#include "executor/executor_supervisor.hpp"
#include "platform/preview_rules.hpp"
#include "platform/services.hpp"
#include "support/bundle.hpp"
#include "support/dispatch.hpp"
#include "support/log.hpp"
#include "support/paths.hpp"

namespace vessa::commands {
namespace {

constexpr std::string_view kStorePrefix = "plugin:store|";
constexpr std::string_view kNotificationPrefix = "plugin:notification|";
constexpr std::string_view kAppPrefix = "plugin:app|";
constexpr std::string_view kProcessPrefix = "plugin:process|";

void notification_command(const std::string& cmd, const std::string& op, const json& args,
                          const std::shared_ptr<PluginListeners>& listeners,
                          const Completion& done) {
  auto service = FamilyContext::services().notifications;
  // Asking the bus whether the service exists can take a moment: never on the main thread.
  background::run_answering(cmd, done, [service, op, args, listeners](const Completion& reply) {
    if (!service || !service->usable()) {
      reply(CommandResult::success(op == "is_permission_granted" ? json(false) : json(nullptr)));
      return;
    }
    if (op == "is_permission_granted") {
      reply(CommandResult::success(service->authorized()));
    } else if (op == "request_permission") {
      reply(CommandResult::success(service->request_permission() ? "granted" : "denied"));
    } else if (op == "permission_state") {
      reply(CommandResult::success(service->authorized() ? "granted" : "denied"));
    } else if (op == "notify") {
      // The plug-in package's page script sends {options: {title, body, ...}}.
      auto options = args.find("options");
      const json& n = options != args.end() && options->is_object() ? *options : args;
      auto title = string_arg(n, "title").value_or("Vessa");
      auto body = string_arg(n, "body");
      // Any `sound` value, even false, asks for the default sound.
      service->notify(title, body, has_arg(n, "sound"), [reply, listeners, title, body] {
        json shown{{"title", title}};
        if (body) shown["body"] = *body;
        listeners->send("notification", "notification", shown);
        reply(CommandResult::success());
      });
    } else {
      reply(CommandResult::success());
    }
  });
}

CommandResult app_command(const std::string& cmd) {
  if (cmd == "plugin:app|version") {
    return CommandResult::success(bundle::info_string("CFBundleShortVersionString", "0.0.0"));
  }
  if (cmd == "plugin:app|name") {
    return CommandResult::success(bundle::info_string("CFBundleName", "Vessa"));
  }
  if (cmd == "plugin:app|tauri_version") return CommandResult::success("0.0.0-swift");
  return CommandResult::failure("unsupported app plugin command: " + cmd);
}

// A text with a scheme is a URI as is; anything else is a file-system path.
std::optional<std::string> uri_for_open(const std::string& text) {
  if (text.empty() || text.find('\0') != std::string::npos) return std::nullopt;
  if (g_uri_is_valid(text.c_str(), G_URI_FLAGS_ENCODED, nullptr) != FALSE) return text;
  return paths::file_uri(text);
}

// The last non-empty part of the name split at "|".
std::string process_operation(const std::string& cmd) {
  std::string last;
  size_t start = 0;
  while (start <= cmd.size()) {
    size_t end = cmd.find('|', start);
    if (end == std::string::npos) end = cmd.size();
    if (end > start) last = cmd.substr(start, end - start);
    start = end + 1;
  }
  return last;
}

}  // namespace

bool handleNative(FamilyContext& ctx, const std::string& cmd, const json& args,
                  const Completion& done) {
  if (cmd.starts_with(kStorePrefix)) {
    done(StoreManager::shared().handle(cmd.substr(kStorePrefix.size()), args));
    return true;
  }
  if (cmd.starts_with(kNotificationPrefix)) {
    notification_command(cmd, cmd.substr(kNotificationPrefix.size()), args,
                         ctx.registry().plugin_listeners(), done);
    return true;
  }
  if (cmd.starts_with(kAppPrefix)) {
    done(app_command(cmd));
    return true;
  }
  if (cmd == "plugin:shell|open") {
    std::string text = string_arg(args, "path").value_or(string_arg(args, "url").value_or(""));
    dispatch::main_async([text, done] {
      auto uri = uri_for_open(text);
      auto opener = FamilyContext::services().url_opener;
      if (uri && opener) opener->open_uri(*uri);
      done(CommandResult::success());
    });
    return true;
  }
  if (cmd == "executor_ensure" || cmd == "plugin:executor|ensure") {
    auto app = ctx.app();
    auto executor = app ? app->executor() : nullptr;
    if (!executor) {
      done(CommandResult::failure("executor supervisor unavailable"));
      return true;
    }
    executor->ensureRunning(
        bool_arg(args, "force").value_or(false),
        [done](const std::string& status, const std::optional<std::string>& message) {
          json result = {{"status", status}};
          if (message) result["message"] = *message;
          done(CommandResult::success(std::move(result)));
        });
    return true;
  }
  if (cmd == "preview_open" || cmd == "plugin:window|preview_open") {
    std::string url = string_arg(args, "url").value_or("");
    if (url.empty()) {
      done(CommandResult::failure("preview_open: missing url"));
      return true;
    }
    if (!platform::isAllowedPreviewURL(url)) {
      done(CommandResult::failure("preview_open: only loopback http(s) URLs are allowed"));
      return true;
    }
    auto title = string_arg(args, "title");
    dispatch::main_async([url, title] {
      if (auto previews = FamilyContext::services().previews) {
        previews->open(url, title);
      } else {
        vessa::log("preview_open: no preview window in this run: " + url);
      }
    });
    done(CommandResult::success(json{{"ok", true}, {"url", url}}));
    return true;
  }
  if (cmd == "git_detect_tools") {
    background::run(cmd, done, [] { return CommandResult::success(repos::detect_tools()); });
    return true;
  }
  if (cmd == "git_scan_repos") {
    background::run(cmd, done, [options = repos::scan_options_from_args(args)] {
      return CommandResult::success(repos::scan_repos(options));
    });
    return true;
  }
  if (cmd == "find_local_repo") {
    background::run(cmd, done, [slug = string_arg(args, "slug").value_or("")] {
      return CommandResult::success(repos::find_local_repo(slug));
    });
    return true;
  }
  if (cmd.starts_with(kProcessPrefix)) {
    std::string op = process_operation(cmd);
    done(CommandResult::success());
    if (op == "relaunch" || op == "restart") {
      std::weak_ptr<AppContext> weak_app = ctx.app();
      dispatch::main_async([weak_app] {
        // Without the application there is no way to end this instance: start no second one.
        auto app = weak_app.lock();
        if (!app) return;
        relaunch::start_new_instance();
        app->quit();
      });
    }
    return true;
  }
  if (cmd == "plugin:updater|check") {
    done(CommandResult::success());
    return true;
  }
  if (cmd == "vessa|check_update") {
    done(CommandResult::success());
    std::weak_ptr<AppContext> weak_app = ctx.app();
    dispatch::main_async([weak_app] {
      // An explicit check overrides a snoozed prompt.
      if (auto defaults = FamilyContext::services().user_defaults) {
        defaults->remove("vessa.update.snoozeUntil");
      }
      if (auto app = weak_app.lock()) app->check_for_updates();
    });
    return true;
  }
  return false;
}

}  // namespace vessa::commands
