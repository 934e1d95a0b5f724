// The one entry point for native commands: the family chain, the built-ins and the
// configuration file.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "commands/app_context.hpp"
#include "commands/channel.hpp"
#include "commands/command_result.hpp"
#include "commands/families.hpp"
#include "commands/resource_table.hpp"
#include "support/config_file.hpp"
#include "support/fs.hpp"
#include "support/json.hpp"

namespace vessa::commands {

class CommandRegistry : public std::enable_shared_from_this<CommandRegistry> {
 public:
  /// `app` may be empty (self-test, tests); families that need it degrade.
  explicit CommandRegistry(std::weak_ptr<AppContext> app);

  /// Offers `cmd` to the family chain, then the built-ins; `done` is called exactly once, maybe
  /// before this returns. Main thread. A family that throws completes with a failure.
  void dispatch(const std::string& cmd, const json& args, Completion done);
  /// The same for a whole page request; its body and headers are request() while it runs.
  void dispatch_request(const std::string& cmd, const CommandRequest& request, Completion done);
  /// The request being dispatched, for a family that reads the raw body or the headers during
  /// its call (copy what is needed later: Bytes are cheap to copy); null outside dispatch.
  /// Main thread.
  const CommandRequest* request() const { return request_; }

  /// The configuration object (empty when the file is missing, unreadable or not an object).
  json readConfig() const;
  /// Rewrites the configuration file whole: pretty, sorted keys, atomic, created 0600 in a
  /// 0700 folder. The error is the reason the file was not written.
  tl::expected<void, std::string> writeConfig(const json& config) const;
  /// `~/.vessa/config.json` of the user at construction.
  const std::string& config_path() const { return config_path_; }

  std::shared_ptr<AppContext> appDelegate() const { return app_.lock(); }

  /// A new page load was committed: the resources the earlier page held (its open stores,
  /// say) are closed. Main thread.
  void on_page_load();
  /// The resources the current page load holds by id.
  ResourceTable& resources() { return *resources_; }

  /// Where channel messages go; the bridge sets itself. Main thread, before any dispatch.
  void set_callback_sink(std::weak_ptr<CallbackSink> sink) { callback_sink_ = std::move(sink); }
  /// The channel the page passed as argument `key` ("__CHANNEL__:<id>"), bound to the page
  /// load of the request being dispatched; nullopt when the argument is no channel. Without a
  /// sink its messages go nowhere. Main thread, during the family's call.
  std::optional<ChannelSender> channel_arg(const json& args, std::string_view key) const;
  /// The channels the current page load registered for plug-in events.
  const std::shared_ptr<PluginListeners>& plugin_listeners() const { return listeners_; }

  /// What the families work with; lives as long as the registry.
  FamilyContext& family_context() { return context_; }

  using FamilyFn = std::function<bool(const std::string&, const json&, const Completion&)>;
  /// Test and self-test hook: replaces the family named `family_name` ("handleGit", ...) in
  /// the chain; an empty function restores it.
  void set_family_override_for_testing(const std::string& family_name, FamilyFn family);
  /// Test and self-test hook: the named family declines everything.
  void set_family_disabled_for_testing(const std::string& family_name, bool disabled);

 private:
  bool builtin(const std::string& cmd, const json& args, const Completion& done);
  CommandResult set_config_key(const std::string& key, json value) const;

  std::weak_ptr<AppContext> app_;
  std::string config_path_;
  std::map<std::string, FamilyFn> overrides_;
  std::shared_ptr<ResourceTable> resources_ = std::make_shared<ResourceTable>();
  std::weak_ptr<CallbackSink> callback_sink_;
  std::shared_ptr<PluginListeners> listeners_ = std::make_shared<PluginListeners>();
  const CommandRequest* request_ = nullptr;
  FamilyContext context_{*this};
};

}  // namespace vessa::commands
