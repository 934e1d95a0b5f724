// The one entry point for native commands: the family chain, the built-ins and the
// configuration file.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bridge/command_result.hpp"
#include "commands/app_context.hpp"
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
  /// Rewrites the configuration file whole: pretty, sorted keys, atomic. Failures are silent.
  void writeConfig(const json& config) const;
  /// `~/.vessa/config.json` of the user at construction.
  const std::string& configPath() const { return config_path_; }

  std::shared_ptr<AppContext> appDelegate() const { return app_.lock(); }

  /// The families, in dispatch order. Each returns true when it takes `cmd` and will call
  /// `done` exactly once; false when `cmd` is not its own (no work started, `done` untouched).
  bool handleNative(const std::string& cmd, const json& args, const Completion& done);
  bool handleCli(const std::string& cmd, const json& args, const Completion& done);
  bool handleGit(const std::string& cmd, const json& args, const Completion& done);
  bool handleFs(const std::string& cmd, const json& args, const Completion& done);
  bool handleAgent(const std::string& cmd, const json& args, const Completion& done);
  bool handleConvex(const std::string& cmd, const json& args, const Completion& done);
  bool handleDeviceCli(const std::string& cmd, const json& args, const Completion& done);
  bool handleTaskwright(const std::string& cmd, const json& args, const Completion& done);
  bool handleTaskwrightBridge(const std::string& cmd, const json& args, const Completion& done);
  bool handleSkyvern(const std::string& cmd, const json& args, const Completion& done);

  using FamilyFn = std::function<bool(const std::string&, const json&, const Completion&)>;
  /// Test and self-test hook: replaces the family named `family_name` ("handleGit", ...) in
  /// the chain; an empty function restores it.
  void set_family_override_for_testing(const std::string& family_name, FamilyFn family);
  /// Test and self-test hook: the named family declines everything.
  void set_family_disabled_for_testing(const std::string& family_name, bool disabled);

 private:
  bool builtin(const std::string& cmd, const json& args, const Completion& done);

  std::weak_ptr<AppContext> app_;
  std::string config_path_;
  std::map<std::string, FamilyFn> overrides_;
  const CommandRequest* request_ = nullptr;
};

/// Runs `work` (a family's background part) and turns an exception into the same failure the
/// dispatcher gives a throwing family: "<cmd>: internal error: <what>" (logged).
CommandResult guarded_result(const std::string& cmd, const std::function<CommandResult()>& work);

/// Serialises read-modify-write cycles of the configuration file inside this process.
std::mutex& config_file_mutex();

}  // namespace vessa
