// The executor-ensure route with a real supervisor (may start the sidecar on 127.0.0.1:3212).
#include <gtest/gtest.h>

#include "commands/command_registry.hpp"
#include "executor/executor_supervisor.hpp"
#include "fixtures/helpers.hpp"

namespace vessa {
namespace {

class SupervisedApp : public AppContext {
 public:
  void emit(const std::string& /*event*/, const json& /*payload*/) override {}
  std::shared_ptr<ExecutorSupervisor> executor() override { return executor_; }
  void quit() override {}
  std::shared_ptr<ExecutorSupervisor> executor_ = ExecutorSupervisor::create();
};

TEST(NativeExecutorRoute, AnswersWithTheSupervisorsStatusAndOptionalMessage) {
  auto app = std::make_shared<SupervisedApp>();
  auto registry = std::make_shared<CommandRegistry>(app);
  for (const char* cmd : {"executor_ensure", "plugin:executor|ensure"}) {
    CommandResult r = testing::dispatch_and_wait(*registry, cmd, {{"force", "yes"}});
    ASSERT_TRUE(r.ok()) << cmd << ": " << r.error();
    const json& v = r.value();
    ASSERT_TRUE(v.is_object()) << v;
    ASSERT_TRUE(v["status"].is_string()) << v;
    EXPECT_TRUE(v["status"] == "ready" || v["status"] == "error") << v;
    // A message is given exactly for errors, and only then is the key present.
    EXPECT_EQ(v.contains("message"), v["status"] == "error") << v;
    if (v.contains("message")) {
      EXPECT_TRUE(v["message"].is_string()) << v;
    }
  }
  app->executor_->stop();
}

}  // namespace
}  // namespace vessa
