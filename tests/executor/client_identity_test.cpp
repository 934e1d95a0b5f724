// The stable client id and the device name kept in the config file.
#include "executor/client_identity.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <thread>

#include "commands/command_registry.hpp"
#include "fixtures/cli_fakes.hpp"
#include "fixtures/helpers.hpp"
#include "fixtures/temp_home.hpp"
#include "support/json.hpp"

namespace vessa::executor {

using commands::AppContext;
using commands::CommandRegistry;
using commands::CommandResult;

namespace {

using testing::FakeHostNames;
using testing::ScopedServices;
using testing::TempHome;
using testing::write_file;

class ClientIdTest : public ::testing::Test {
 protected:
  void SetUp() override { use_host("Studio Mac (2)", "studio.local"); }
  void use_host(std::optional<std::string> localized, std::string network) {
    services_.reset();
    services_ = std::make_unique<ScopedServices>([&](platform::Services& s) {
      s.host_names = std::make_shared<FakeHostNames>(localized, network);
    });
  }
  std::string config() const { return home_.path() + "/.vessa/config.json"; }

  TempHome home_;
  std::unique_ptr<ScopedServices> services_;
};

TEST_F(ClientIdTest, NoFileCreatesPrettySortedFileWithIdAndDeviceName) {
  testing::LogCapture log;
  std::string id = resolveStableClientId(config());
  EXPECT_TRUE(std::regex_match(id, std::regex("desktop-Studio-Mac-2-[a-z0-9]{4}"))) << id;
  EXPECT_EQ(testing::read_file(config()),
            "{\n  \"clientId\": \"" + id + "\",\n  \"deviceName\": \"Studio Mac (2)\"\n}");
  EXPECT_TRUE(log.contains("[VessaMac] Assigned unique clientId " + id));
  // Created once, then reused.
  EXPECT_EQ(resolveStableClientId(config()), id);
}

TEST_F(ClientIdTest, StoredIdsReservedOrKept) {
  struct Case {
    json stored;
    std::optional<std::string> kept;  // nullopt: replaced by a new id
  };
  const Case cases[] = {
      {"  My-Laptop-Id\n", "My-Laptop-Id"},
      {" Unknown ", std::nullopt},
      {"VESSA-Desktop-Linux", std::nullopt},
      {"Executor", std::nullopt},
      {"   ", std::nullopt},
      {42, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored.dump());
    json original = {{"clientId", c.stored}, {"deviceName", "Kitchen"}, {"theme", "dark"}};
    write_file(config(), original.dump());
    std::string id = resolveStableClientId(config());
    auto after = parse_json(testing::read_file(config()));
    ASSERT_TRUE(after);
    if (c.kept) {
      EXPECT_EQ(id, *c.kept);
      EXPECT_EQ(*after, original);
    } else {
      EXPECT_TRUE(std::regex_match(id, std::regex("desktop-Studio-Mac-2-[a-z0-9]{4}"))) << id;
      EXPECT_EQ((*after)["clientId"], id);
      EXPECT_EQ((*after)["deviceName"], "Kitchen");  // a stored name is kept
      EXPECT_EQ((*after)["theme"], "dark");          // other keys survive
    }
  }
}

TEST_F(ClientIdTest, BlankDeviceNameIsReplacedByTheHost) {
  write_file(config(), R"({"deviceName": "   "})");
  resolveStableClientId(config());
  EXPECT_EQ((*parse_json(testing::read_file(config())))["deviceName"], "Studio Mac (2)");
}

TEST_F(ClientIdTest, UnparsableFileGivesTransientIdAndIsLeftUntouched) {
  struct Case {
    const char* content;
    std::optional<std::string> localized;
    std::string network;
    std::string expected;
  };
  const Case cases[] = {
      {"{not json", "Studio Mac (2)", "x", "desktop-Studio-Mac-(2)-tmp"},
      {"", "A very long computer name indeed", "x", "desktop-A-very-long-computer-nam-tmp"},
      {"\"text\"", "Zoë’s Mac", "x", "desktop-Zoë’s-Mac-tmp"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    use_host(c.localized, c.network);
    write_file(config(), c.content);
    testing::LogCapture log;
    EXPECT_EQ(resolveStableClientId(config()), c.expected);
    EXPECT_EQ(testing::read_file(config()), c.content);
    EXPECT_TRUE(log.contains(
        "[VessaMac] config.json unreadable \u2014 using a transient clientId rather than "
        "overwriting it"));
  }
}

// A config_set racing the id assignment must not drop either key.
TEST_F(ClientIdTest, AssignmentAndConfigSetDoNotLoseEachOthersKeys) {
  auto registry = std::make_shared<CommandRegistry>(std::weak_ptr<AppContext>());
  ASSERT_EQ(registry->config_path(), config());
  for (int round = 0; round < 40; ++round) {
    std::filesystem::remove(config());
    std::thread setter([&] {
      registry->dispatch("config_set", {{"key", "theme"}, {"value", round}}, [](CommandResult) {});
    });
    std::string id = resolveStableClientId(config());
    setter.join();
    auto after = parse_json(testing::read_file(config()));
    ASSERT_TRUE(after && after->is_object());
    EXPECT_EQ((*after)["clientId"], id);
    EXPECT_EQ((*after)["theme"], round);
  }
}

TEST(ClientIdSlug, Rules) {
  EXPECT_EQ(detail::client_id_slug("Studio Mac (2)"), "Studio-Mac-2");
  EXPECT_EQ(detail::client_id_slug("!! ( )"), "--");
  EXPECT_EQ(detail::client_id_slug("!!!()"), "mac");
  EXPECT_EQ(detail::client_id_slug("Zoë’s"), "Zos");
  EXPECT_EQ(detail::client_id_slug("abcdefghijklmnopqrstuvwxyz0123"), "abcdefghijklmnopqrstuvwx");
}

// ---- device name and Convex settings ----

TEST_F(ClientIdTest, DeviceNameFromFileElseHost) {
  struct Case {
    const char* content;
    std::string expected;
  };
  const Case cases[] = {
      {R"({"deviceName": "  Kitchen iMac \n"})", "Kitchen iMac"},
      {R"({"deviceName": "   "})", "Studio Mac (2)"},
      {"{broken", "Studio Mac (2)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    write_file(config(), c.content);
    EXPECT_EQ(resolveDeviceName(config()), c.expected);
    EXPECT_EQ(testing::read_file(config()), c.content);
  }
  use_host(std::nullopt, "lab.local");
  EXPECT_EQ(resolveDeviceName(home_.path() + "/missing.json"), "lab");
}

}  // namespace
}  // namespace vessa::executor
