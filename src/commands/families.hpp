// The command families: free functions the registry offers each page command to, in order.
#pragma once

#include <memory>
#include <string>

#include "commands/app_context.hpp"
#include "commands/command_result.hpp"
#include "platform/services.hpp"
#include "support/json.hpp"

namespace vessa::commands {

class CommandRegistry;

/// What a family works with instead of globals: the registry (configuration file, the request
/// being dispatched, the page's resources and channels), the platform's services and the app.
/// One per registry, living as long as it, so a family's work may keep a reference.
class FamilyContext {
 public:
  explicit FamilyContext(CommandRegistry& registry) : registry_(registry) {}
  CommandRegistry& registry() const { return registry_; }
  /// The platform's services as they are now (tests install fakes). Any thread.
  static platform::Services services() { return platform::services(); }
  /// The running application; empty in the self-test, `--invoke` without one, and tests.
  std::shared_ptr<AppContext> app() const;

 private:
  CommandRegistry& registry_;
};

/// A family returns true when it takes `cmd` and will call `done` exactly once; false when
/// `cmd` is not its own (no work started, `done` untouched). Main thread.
using Family = bool (*)(FamilyContext& ctx, const std::string& cmd, const json& args,
                        const Completion& done);

bool handleStoreV2(FamilyContext& ctx, const std::string& cmd, const json& args,
                   const Completion& done);
bool handleTauriCore(FamilyContext& ctx, const std::string& cmd, const json& args,
                     const Completion& done);
bool handleWindow(FamilyContext& ctx, const std::string& cmd, const json& args,
                  const Completion& done);
bool handleNative(FamilyContext& ctx, const std::string& cmd, const json& args,
                  const Completion& done);
bool handleDialog(FamilyContext& ctx, const std::string& cmd, const json& args,
                  const Completion& done);
bool handlePath(FamilyContext& ctx, const std::string& cmd, const json& args,
                const Completion& done);
bool handleOs(FamilyContext& ctx, const std::string& cmd, const json& args, const Completion& done);
bool handleOpener(FamilyContext& ctx, const std::string& cmd, const json& args,
                  const Completion& done);
bool handleClipboard(FamilyContext& ctx, const std::string& cmd, const json& args,
                     const Completion& done);
bool handleCli(FamilyContext& ctx, const std::string& cmd, const json& args,
               const Completion& done);
bool handleGit(FamilyContext& ctx, const std::string& cmd, const json& args,
               const Completion& done);
bool handleFs(FamilyContext& ctx, const std::string& cmd, const json& args, const Completion& done);
bool handleAgent(FamilyContext& ctx, const std::string& cmd, const json& args,
                 const Completion& done);
bool handleConvex(FamilyContext& ctx, const std::string& cmd, const json& args,
                  const Completion& done);
bool handleDeviceCli(FamilyContext& ctx, const std::string& cmd, const json& args,
                     const Completion& done);
bool handleTaskwright(FamilyContext& ctx, const std::string& cmd, const json& args,
                      const Completion& done);
bool handleTaskwrightBridge(FamilyContext& ctx, const std::string& cmd, const json& args,
                            const Completion& done);
bool handleSkyvern(FamilyContext& ctx, const std::string& cmd, const json& args,
                   const Completion& done);
bool handleDeepLink(FamilyContext& ctx, const std::string& cmd, const json& args,
                    const Completion& done);

}  // namespace vessa::commands
