// Links of the app's own scheme on the command line, the deep-link plug-in, and the name one
// user's running instance has on the session bus.
#include "commands/deep_link.hpp"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "commands/app_dirs.hpp"
#include "commands/commands_test_support.hpp"
#include "support/paths.hpp"

namespace vessa::testing {
namespace {

const std::string kLink = "app.vessa.desktop://open/task?id=7&q=a%20b#top";

TEST(DeepLink, OnlyWellFormedLinksOfTheAppsOwnSchemeAreTaken) {
  LogCapture logs;
  const std::string own = commands::deep_link::scheme();
  const std::pair<std::string, bool> cases[] = {
      {kLink, true},
      {"APP.Vessa.Desktop://host/path", true},  // scheme names do not depend on case
      {own + ":opaque-part", true},
      {"vessa://localhost/index.html", false},  // the content scheme is not a link into the app
      {"https://example.com/", false},
      {"--gapplication-service", false},
      {"", false},
      {own + "x://host/", false},
      {own + "://host/\n", false},
      {own + "://host/\xc3\xa9", false},
      {own + "://host/%zz", false},
      {own + "://host/" + std::string(commands::deep_link::kMaxLinkBytes, 'a'), false},
  };
  for (const auto& [argument, taken] : cases) {
    auto links = commands::deep_link::links_in({argument});
    EXPECT_EQ(links, taken ? std::vector<std::string>{argument} : std::vector<std::string>{})
        << argument;
  }
  // A refused argument is logged escaped and cut short: it may be anything a web page made.
  const auto lines = logs.lines();
  EXPECT_TRUE(std::ranges::any_of(lines, [&](const std::string& l) {
    return l.find("deep link refused (not a URL): \"" + own + "://host/\\n\"") != std::string::npos;
  }));
  EXPECT_TRUE(std::ranges::any_of(lines, [](const std::string& l) {
    return l.find("deep link refused (longer than") != std::string::npos && l.size() < 300;
  }));

  // Order is kept; links past the limit are refused.
  std::vector<std::string> many;
  for (size_t i = 0; i < commands::deep_link::kMaxLinks + 2; ++i) {
    many.push_back(own + "://n/" + std::to_string(i));
  }
  auto taken = commands::deep_link::links_in(many);
  ASSERT_EQ(taken.size(), commands::deep_link::kMaxLinks);
  EXPECT_EQ(taken.back(), own + "://n/" + std::to_string(commands::deep_link::kMaxLinks - 1));
}

TEST(DeepLink, PluginCommands) {
  TempHome home;
  Commands commands;
  // get_current, with and without launch links, is the single-instance app test's.
  const std::pair<json, json> registered[] = {
      {{{"protocol", "app.vessa.desktop"}}, true},
      {{{"protocol", "App.Vessa.Desktop"}}, true},
      {{{"protocol", "vessa"}}, false},
      {{{"protocol", std::string("app.vessa.desktop\0x", 19)}}, false},
      {{{"protocol", 7}}, "!is_registered: missing protocol"},
  };
  for (const auto& [args, expected] : registered) {
    EXPECT_EQ(commands.answer("plugin:deep-link|is_registered", args), expected) << args;
  }
  for (const char* op : {"register", "unregister"}) {
    const std::string cmd = std::string("plugin:deep-link|") + op;
    EXPECT_EQ(commands.fails(cmd, {{"protocol", "app.vessa.desktop"}}),
              "command not implemented in the Swift shell yet: " + cmd);
  }
}

// Runs with other folders (tests, a second profile) must not merge into the user's instance,
// and one folder named two ways must not split it.
TEST(AppDirs, InstanceIdFollowsTheDataFolders) {
  TempHome home;
  const std::string base = commands::app_dirs::identifier();
  const std::string isolated = commands::app_dirs::instance_id();
  EXPECT_TRUE(isolated.starts_with(base + ".h")) << isolated;
  EXPECT_TRUE(g_application_id_is_valid(isolated.c_str())) << isolated;

  ::setenv("HOME", (home.path() + "/./").c_str(), 1);
  EXPECT_EQ(commands::app_dirs::instance_id(), isolated);
  ::setenv("XDG_DATA_HOME", (home.path() + "/other").c_str(), 1);
  EXPECT_NE(commands::app_dirs::instance_id(), isolated);

  const std::string account = paths::account_home();
  ::setenv("HOME", account.c_str(), 1);
  ::unsetenv("XDG_DATA_HOME");
  ::setenv("XDG_CONFIG_HOME", (account + "/.config").c_str(), 1);
  EXPECT_EQ(commands::app_dirs::instance_id(), base);
  ::setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
  EXPECT_EQ(commands::app_dirs::instance_id(), base);
}

}  // namespace
}  // namespace vessa::testing
