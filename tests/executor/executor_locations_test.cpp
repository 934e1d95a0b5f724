// Where the executor finds its settings and its sidecar, and the request that refreshes CLI auth.
#include <gtest/gtest.h>
#include <poll.h>

#include <filesystem>

#include "build_config.hpp"
#include "executor/cli_auth_refresh.hpp"
#include "executor/convex_config.hpp"
#include "executor/sidecar_location.hpp"
#include "fixtures/bundle.hpp"
#include "fixtures/helpers.hpp"
#include "fixtures/loopback.hpp"
#include "fixtures/scripts.hpp"
#include "fixtures/temp_home.hpp"

namespace vessa::executor {
namespace {

using testing::TempHome;
using testing::write_file;
using testing::write_script;

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
}  // namespace vessa::executor
