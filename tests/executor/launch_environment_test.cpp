// The child-process PATH, the stable client id, the device name and the executor's locations.
#include <gtest/gtest.h>
#include <poll.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include "build_config.hpp"
#include "commands/command_registry.hpp"
#include "executor/cli_auth_refresh.hpp"
#include "executor/client_identity.hpp"
#include "executor/convex_config.hpp"
#include "executor/sidecar_location.hpp"
#include "fixtures/bundle.hpp"
#include "fixtures/cli_fakes.hpp"
#include "fixtures/helpers.hpp"
#include "fixtures/loopback.hpp"
#include "support/json.hpp"
#include "support/login_path.hpp"
#include "support/paths.hpp"

namespace vessa::launch {
namespace {

using testing::FakeHostNames;
using testing::ScopedEnv;
using testing::ScopedServices;
using testing::TempHome;
using testing::write_file;
using testing::write_script;

std::vector<std::string> split_path(const std::string& path) {
  std::vector<std::string> out;
  std::stringstream in(path);
  for (std::string piece; std::getline(in, piece, ':');) out.push_back(piece);
  return out;
}

TEST(EnrichedPath, LoginPathThenInheritedThenFixedEachOnceInFirstSeenOrder) {
  TempHome home;
  std::string shell =
      write_script(home.path() + "/shell", "printf %s '/login/a:/shared::/login/b:/login/a'");
  ScopedEnv s("SHELL", shell);
  ScopedEnv p("PATH", "/inherit/x:/shared:/usr/bin::/inherit/x");
  std::vector<std::string> expected = {"/login/a", "/shared", "/login/b", "/inherit/x", "/usr/bin"};
  for (const auto& d : fixed_tool_dirs(home.path())) {
    if (d != "/usr/bin") expected.push_back(d);
  }
  EXPECT_EQ(split_path(enrichedPath()), expected);
}

TEST(EnrichedPath, FallsBackToFixedListWhenTheLoginShellGivesNoPath) {
  struct Case {
    const char* name;
    const char* body;
  };
  const Case cases[] = {
      {"exits non-zero", "printf %s /login/a; exit 3"},
      {"prints only blanks", "printf '  \\n\\n'"},
      {"prints invalid UTF-8", "printf '/login/\\377'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempHome home;
    ScopedEnv s("SHELL", write_script(home.path() + "/shell", c.body));
    ScopedEnv p("PATH", "/inherit/x");
    auto got = split_path(enrichedPath());
    ASSERT_GE(got.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + 5),
              (std::vector<std::string>{"/opt/homebrew/bin", "/usr/local/bin", "/usr/bin", "/bin",
                                        home.path() + "/.volta/bin"}));
    EXPECT_EQ(std::count(got.begin(), got.end(), "/inherit/x"), 1);
  }
}

TEST(EnrichedPath, ShellThatCannotStartGivesFixedListAndInheritedPath) {
  TempHome home;
  ScopedEnv s("SHELL", home.path() + "/no-such-shell");
  ScopedEnv p("PATH", "");
  EXPECT_EQ(split_path(enrichedPath()), fixed_tool_dirs(home.path()));
}

TEST(FixedToolDirs, NvmVersionsWithABinFolderComeLast) {
  TempHome home;
  const std::string h = home.path();
  const auto without_nvm = fixed_tool_dirs(h);
  std::filesystem::create_directories(h + "/.nvm/versions/node/v20.1.0/bin");
  std::filesystem::create_directories(h + "/.nvm/versions/node/v22.0.0/bin");
  std::filesystem::create_directories(h + "/.nvm/versions/node/broken");
  auto dirs = fixed_tool_dirs(h);
  ASSERT_EQ(dirs.size(), without_nvm.size() + 2);
  EXPECT_EQ(std::vector<std::string>(dirs.begin(), dirs.end() - 2), without_nvm);
  std::sort(dirs.end() - 2, dirs.end());
  EXPECT_EQ(dirs.end()[-2], h + "/.nvm/versions/node/v20.1.0/bin");
  EXPECT_EQ(dirs.end()[-1], h + "/.nvm/versions/node/v22.0.0/bin");
}

// ---- client id ----

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

TEST(ReadConvexConfig, DefaultsAndOverrides) {
  TempHome home;
  const std::string path = home.path() + "/config.json";
  const std::string api = build::kApiBaseUrl;
  struct Case {
    const char* content;  // nullptr: no file
    std::pair<std::string, std::string> expected;
  };
  const Case cases[] = {
      {nullptr, {api, ""}},
      {R"({"convexUrl": "", "executorSecret": "x"})", {"", "x"}},
      {R"({"convexUrl": "https://c.example", "executorSecret": 5})", {"https://c.example", ""}},
      {"not json", {api, ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content ? c.content : "(no file)");
    std::filesystem::remove(path);
    if (c.content) write_file(path, c.content);
    EXPECT_EQ(readConvexConfig(path), c.expected);
  }
}

// ---- locations ----

TEST(LocateSidecar, InTheBundleOnlyWhenRunFromOne) {
  TempHome home;
  const std::string app = testing::write_bundle(home.path() + "/Vessa.app");
  testing::ScopedExecutable running(app + "/bin/vessa");
  EXPECT_EQ(locateSidecar(), std::nullopt);
  write_script(app + "/Resources/vessa-executor", "exit 0");
  EXPECT_EQ(locateSidecar(), std::filesystem::path(app + "/Resources/vessa-executor"));
}

TEST(LocateSidecar, DevelopmentCopyFoundWithinEightFolders) {
  TempHome home;
  const std::string dev =
      std::string("apps/desktop/src-tauri/binaries/vessa-executor-") + build::kTargetTriple;
  // The executable's folder is the first of the eight: depth 7 above it is the last one tried.
  std::string exe_dir = home.path() + "/r";
  for (int i = 0; i < 8; ++i) exe_dir += "/d" + std::to_string(i);
  testing::ScopedExecutable running(exe_dir + "/vessa");

  std::filesystem::path eighth = std::filesystem::path(exe_dir);
  for (int i = 0; i < 7; ++i) eighth = eighth.parent_path();
  write_file((eighth.parent_path() / dev).string(), "#!/bin/sh\n", 0755);
  EXPECT_EQ(locateSidecar(), std::nullopt);  // ninth folder: too far

  write_file((eighth / dev).string(), "#!/bin/sh\n", 0644);
  EXPECT_EQ(locateSidecar(), std::nullopt);  // not executable
  std::filesystem::permissions(eighth / dev, std::filesystem::perms::owner_exec,
                               std::filesystem::perm_options::add);
  EXPECT_EQ(locateSidecar(), eighth / dev);
}

TEST(RefreshCliAuth, PostsWithoutBodyAndReturnsAtOnce) {
  testing::Listener server;
  ASSERT_NE(server.port(), 0);
  detail::set_refresh_url_for_testing("http://127.0.0.1:" + std::to_string(server.port()) +
                                      "/refresh-cli-auth");
  refreshCliAuth();  // nobody has accepted yet: it must not wait for the answer

  pollfd pfd{server.fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&pfd, 1, 5000), 1);
  int conn = ::accept(server.fd(), nullptr, nullptr);
  ASSERT_GE(conn, 0);
  std::string request;
  char buf[2048];
  while (request.find("\r\n\r\n") == std::string::npos) {
    ssize_t n = ::read(conn, buf, sizeof buf);
    if (n <= 0) break;
    request.append(buf, static_cast<size_t>(n));
  }
  const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  (void)::write(conn, reply.data(), reply.size());
  ::close(conn);
  detail::set_refresh_url_for_testing("");
  EXPECT_EQ(request.rfind("POST /refresh-cli-auth HTTP/1.1\r\n", 0), 0u) << request;
  EXPECT_TRUE(request.find("Content-Length: 0") != std::string::npos ||
              request.find("content-length: 0") != std::string::npos)
      << request;
}

}  // namespace
}  // namespace vessa::launch
