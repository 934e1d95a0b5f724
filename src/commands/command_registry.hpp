// The one entry point for native commands: the family chain, the built-ins and the
// configuration file.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tl/expected.hpp>
#include <vector>

#include "bridge/command_result.hpp"
#include "commands/app_context.hpp"
#include "commands/resource_table.hpp"
#include "support/fs.hpp"
#include "support/json.hpp"

namespace vessa {

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
  const std::string& configPath() const { return config_path_; }

  std::shared_ptr<AppContext> appDelegate() const { return app_.lock(); }

  /// A new page load was committed: the resources the earlier page held (its open stores,
  /// say) are closed. Main thread.
  void on_page_load();
  /// The resources the current page load holds by id.
  ResourceTable& resources() { return *resources_; }

  /// The families, in dispatch order. Each returns true when it takes `cmd` and will call
  /// `done` exactly once; false when `cmd` is not its own (no work started, `done` untouched).
  bool handleStoreV2(const std::string& cmd, const json& args, const Completion& done);
  bool handleTauriCore(const std::string& cmd, const json& args, const Completion& done);
  bool handleNative(const std::string& cmd, const json& args, const Completion& done);
  bool handlePath(const std::string& cmd, const json& args, const Completion& done);
  bool handleOs(const std::string& cmd, const json& args, const Completion& done);
  bool handleOpener(const std::string& cmd, const json& args, const Completion& done);
  bool handleClipboard(const std::string& cmd, const json& args, const Completion& done);
  bool handleCli(const std::string& cmd, const json& args, const Completion& done);
  bool handleGit(const std::string& cmd, const json& args, const Completion& done);
  bool handleFs(const std::string& cmd, const json& args, const Completion& done);
  bool handleAgent(const std::string& cmd, const json& args, const Completion& done);
  bool handleConvex(const std::string& cmd, const json& args, const Completion& done);
  bool handleDeviceCli(const std::string& cmd, const json& args, const Completion& done);
  bool handleTaskwright(const std::string& cmd, const json& args, const Completion& done);
  bool handleTaskwrightBridge(const std::string& cmd, const json& args, const Completion& done);
  bool handleSkyvern(const std::string& cmd, const json& args, const Completion& done);
  bool handleDeepLink(const std::string& cmd, const json& args, const Completion& done);

  using FamilyFn = std::function<bool(const std::string&, const json&, const Completion&)>;
  /// Test and self-test hook: replaces the family named `family_name` ("handleGit", ...) in
  /// the chain; an empty function restores it.
  void set_family_override_for_testing(const std::string& family_name, FamilyFn family);
  /// Test and self-test hook: the named family declines everything.
  void set_family_disabled_for_testing(const std::string& family_name, bool disabled);

 private:
  bool builtin(const std::string& cmd, const json& args, const Completion& done);
  CommandResult setConfigKey(const std::string& key, json value) const;

  std::weak_ptr<AppContext> app_;
  std::string config_path_;
  std::map<std::string, FamilyFn> overrides_;
  std::shared_ptr<ResourceTable> resources_ = std::make_shared<ResourceTable>();
  const CommandRequest* request_ = nullptr;
};

/// Serialises read-modify-write cycles of the configuration file inside this process.
std::mutex& config_file_mutex();

/// One read-modify-write of the configuration file at `config_path`: holds `config_file_mutex()`
/// and the file's cross-process lock, so no writer in any process loses another's keys.
class ConfigFileLock {
 public:
  /// Creates the file's folder (0700) when missing; the error says why the lock was not had.
  static tl::expected<ConfigFileLock, std::string> acquire(const std::string& config_path);

 private:
  ConfigFileLock(std::unique_lock<std::mutex> local, fs::FileLock file)
      : local_(std::move(local)), file_(std::move(file)) {}
  std::unique_lock<std::mutex> local_;
  fs::FileLock file_;
};

}  // namespace vessa
