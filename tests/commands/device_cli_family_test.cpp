// get_device_identity and the argument checks of cli_install.
#include <gtest/gtest.h>

#include <filesystem>

#include "commands/command_registry.hpp"
#include "fixtures/helpers.hpp"
#include "fixtures/temp_home.hpp"

namespace vessa {
namespace {

class DeviceCliTest : public ::testing::Test {
 protected:
  testing::TempHome home_;
  std::shared_ptr<CommandRegistry> registry_ =
      std::make_shared<CommandRegistry>(std::weak_ptr<AppContext>());
};

TEST_F(DeviceCliTest, IdentityReportsUsableStoredValuesOnly) {
  struct Case {
    const char* content;  // nullptr: no file
    json expected;
  };
  const Case cases[] = {
      {nullptr, {{"clientId", nullptr}, {"deviceName", nullptr}}},
      {"{oops", {{"clientId", nullptr}, {"deviceName", nullptr}}},
      {R"({"clientId": "unknown", "deviceName": "  Desk  "})",
       {{"clientId", nullptr}, {"deviceName", "  Desk  "}}},
      {R"({"clientId": "Unknown", "deviceName": "   "})",
       {{"clientId", "Unknown"}, {"deviceName", nullptr}}},
      {R"({"clientId": "desktop"})", {{"clientId", nullptr}, {"deviceName", nullptr}}},
      {R"({"clientId": "vessa-desktop"})", {{"clientId", nullptr}, {"deviceName", nullptr}}},
      {R"({"clientId": "executor"})", {{"clientId", "executor"}, {"deviceName", nullptr}}},
      {R"({"clientId": 42, "deviceName": 7})", {{"clientId", nullptr}, {"deviceName", nullptr}}},
      {R"({"clientId": "desktop-box-a1b2", "deviceName": "Box"})",
       {{"clientId", "desktop-box-a1b2"}, {"deviceName", "Box"}}},
  };
  const std::string config = home_.path() + "/.vessa/config.json";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content ? c.content : "(no file)");
    std::filesystem::remove(config);
    if (c.content) testing::write_file(config, c.content);
    auto r = testing::dispatch_and_wait(*registry_, "get_device_identity");
    EXPECT_EQ(r.value(), c.expected);
    // Reading never writes (the executor launch is what assigns an id).
    EXPECT_EQ(testing::read_file(config), c.content ? c.content : "");
    EXPECT_EQ(std::filesystem::exists(config), c.content != nullptr);
  }
}

TEST_F(DeviceCliTest, InstallRefusesMissingAndUnknownToolsAtOnce) {
  struct Case {
    json args;
    std::string error;
  };
  const Case cases[] = {
      {json::object(), "cli_install: missing tool"},
      {{{"tool", 5}}, "cli_install: missing tool"},
      {{{"tool", "gemini"}}, "Unknown tool: gemini"},
      {{{"tool", "claude; rm -rf ~"}}, "Unknown tool: claude; rm -rf ~"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.dump());
    std::optional<CommandResult> result;
    // Refusals complete before dispatch returns.
    registry_->dispatch("cli_install", c.args, [&](CommandResult r) { result = std::move(r); });
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->error(), c.error);
  }
}

}  // namespace
}  // namespace vessa
