// The "vessa" content scheme: files, headers, MIME types, route fallback and confinement.
#include "platform/content_scheme.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "fixtures/temp_home.hpp"

namespace vessa::platform {
namespace {

namespace stdfs = std::filesystem;
using vessa::testing::ScratchDir;
using vessa::testing::write_file;

class ContentScheme : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(root_ + "/index.html", "<!doctype html>INDEX");
    write_file(root_ + "/app.JS", "console.log(1)");
    write_file(root_ + "/assets/app.js.map", "{}");
    write_file(root_ + "/notes.txt", "plain");
    write_file(root_ + "/weird.zzqq", "?");
    write_file(root_ + "/space name.css", "a{}");
    write_file(base_ + "/secret.txt", "SECRET");
    write_file(base_ + "/outside/index.html", "OUTSIDE");
    stdfs::create_directories(root_ + "/folder.d");
    stdfs::create_symlink(base_ + "/secret.txt", root_ + "/link-out.txt");
    stdfs::create_symlink(base_ + "/outside", root_ + "/dir-out");
    stdfs::create_symlink(root_ + "/notes.txt", root_ + "/link-in.txt");
  }
  SchemeAnswer get(const std::string& uri) { return serve_content_request(root_, uri); }

  ScratchDir scratch_{"vessa-scheme-"};
  std::string base_ = scratch_.path();
  std::string root_ = base_ + "/dist";
};

// Every answer carries exactly the four headers.
TEST_F(ContentScheme, FilesStartPageRoutesAndFallbacks) {
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"vessa://localhost/notes.txt?x=1#frag", "plain", "text/plain"},
      {"vessa://localhost/", "<!doctype html>INDEX", "text/html; charset=utf-8"},
      {"vessa://localhost/settings/profile", "<!doctype html>INDEX", "text/html; charset=utf-8"},
      {"vessa://other-host/index.html", "<!doctype html>INDEX", "text/html; charset=utf-8"},
      {"vessa://localhost/app.JS", "console.log(1)", "application/javascript; charset=utf-8"},
      {"vessa://localhost/assets/app.js.map", "{}", "application/json"},
      {"vessa://localhost/space%20name.css", "a{}", "text/css; charset=utf-8"},
      {"vessa://localhost/link-in.txt", "plain", "text/plain"},
  };
  for (const auto& [uri, body, type] : cases) {
    auto a = get(uri);
    ASSERT_TRUE(a.ok) << uri << ": " << a.error;
    EXPECT_EQ(a.body, body) << uri;
    EXPECT_EQ(a.content_type, type) << uri;
    EXPECT_EQ(a.headers, (std::vector<std::pair<std::string, std::string>>{
                             {"Content-Type", type},
                             {"Content-Length", std::to_string(a.body.size())},
                             {"Access-Control-Allow-Origin", "*"},
                             {"Cache-Control", "no-cache"}}))
        << uri;
  }
}

TEST_F(ContentScheme, ErrorMessages) {
  const std::pair<std::optional<std::string>, std::string> cases[] = {
      {std::nullopt, "no url"},
      {std::string(), "no url"},
      {"vessa://localhost/missing.js", "not found: /missing.js"},
      {"vessa://localhost/folder.d", "read failed: /folder.d"},
      {"vessa://localhost/bad%zzescape", "not found: /bad%zzescape"},
  };
  for (const auto& [uri, message] : cases) {
    auto a = serve_content_request(root_, uri);
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, message) << uri.value_or("(none)");
  }
}

// A request must never read a file outside the served folder, however the path is spelled.
TEST_F(ContentScheme, RequestsAreConfinedToTheRoot) {
  const std::pair<const char*, const char*> cases[] = {
      {"vessa://localhost/..%2Fsecret.txt", "not found: /../secret.txt"},
      {"vessa://localhost/assets/..%2F..%2Fsecret.txt", "not found: /assets/../../secret.txt"},
      {"vessa://localhost/..%2Foutside", "not found: /../outside"},
      {"vessa://localhost/link-out.txt", "not found: /link-out.txt"},
      {"vessa://localhost/dir-out/index.html", "not found: /dir-out/index.html"},
  };
  for (const auto& [uri, message] : cases) {
    auto a = get(uri);
    EXPECT_FALSE(a.ok) << uri << " served " << a.body;
    EXPECT_EQ(a.error, message) << uri;
    EXPECT_EQ(a.body.find("SECRET"), std::string::npos);
  }
}

// Links swapped while requests are served (a file link, and a folder replaced by a link) must
// never let a request read outside the root: what was checked is what is read.
TEST_F(ContentScheme, SwappingLinksDuringRequestsNeverEscapesTheRoot) {
  write_file(root_ + "/d/notes.txt", "inner");
  write_file(base_ + "/outside/notes.txt", "SECRET");
  stdfs::create_symlink("notes.txt", root_ + "/swap.txt");
  stdfs::create_symlink(base_ + "/secret.txt", root_ + "/swap-other");
  stdfs::create_symlink(base_ + "/outside", root_ + "/d-other");
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    auto exchange = [&](const char* a, const char* b) {
      ::renameat2(AT_FDCWD, (root_ + a).c_str(), AT_FDCWD, (root_ + b).c_str(), RENAME_EXCHANGE);
    };
    while (!stop) {
      exchange("/swap.txt", "/swap-other");
      exchange("/d", "/d-other");
    }
  });
  int served = 0;
  for (int i = 0; i < 4000; ++i) {
    for (const char* uri : {"vessa://localhost/swap.txt", "vessa://localhost/d/notes.txt"}) {
      auto a = get(uri);
      EXPECT_EQ(a.body.find("SECRET"), std::string::npos) << uri << " escaped on request " << i;
      served += a.ok ? 1 : 0;
    }
  }
  stop = true;
  swapper.join();
  EXPECT_GT(served, 0);  // the inside states were served meanwhile
}

// Routes fall back only to an index inside the root; a root reached through a link serves.
TEST_F(ContentScheme, IndexFallbackNeedsAnIndexInsideTheRoot) {
  stdfs::create_symlink(root_, base_ + "/alias");
  EXPECT_TRUE(serve_content_request(base_ + "/alias", "vessa://localhost/notes.txt").ok);
  stdfs::remove(root_ + "/index.html");
  EXPECT_EQ(get("vessa://localhost/some/route").error, "read failed: /some/route");
  EXPECT_EQ(get("vessa://localhost/").error, "not found: /index.html");
  stdfs::create_symlink(base_ + "/outside/index.html", root_ + "/index.html");
  EXPECT_EQ(get("vessa://localhost/route").error, "not found: /route");
}

TEST(ContentSchemeMime, KnownTypesIgnoreCaseAndUnknownOnesAreBytes) {
  const std::pair<const char*, const char*> cases[] = {
      {"HTM", "text/html; charset=utf-8"}, {"JPG", "image/jpeg"},
      {"wasm", "application/wasm"},        {"json", "application/json; charset=utf-8"},
      {"", "application/octet-stream"},    {"zzqqxy", "application/octet-stream"},
  };
  for (const auto& [ext, mime] : cases) EXPECT_EQ(mime_for_extension(ext), mime) << ext;
}

}  // namespace
}  // namespace vessa::platform
