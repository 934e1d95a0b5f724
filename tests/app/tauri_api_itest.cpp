// The unmodified @tauri-apps/api 2.x package from npm, bundled into a test page, against the
// shell: invoke, listen, once, emit and unlisten behave as that package documents.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/web_host_support.hpp"
#include "fixtures/helpers.hpp"
#include "fixtures/temp_home.hpp"
#include "support/subprocess.hpp"

namespace vessa::testing {
namespace {

TEST(TauriApiPackage, InvokeListenOnceEmitUnlisten) {
  TempHome home;
  std::string out = make_temp_dir("vessa-tauri-page-");
  proc::RunOptions run;
  run.timeout = std::chrono::minutes(4);
  auto built = proc::run({{std::string(VESSA_SOURCE_DIR) + "/scripts/build-tauri-api-page", out},
                          std::nullopt,
                          "",
                          proc::Stdio::null(),
                          proc::Stdio::pipe(),
                          proc::Stdio::pipe()},
                         run);
  if (!built || (built->status.exited && built->status.code == 3)) {
    std::filesystem::remove_all(out);
    GTEST_SKIP() << "npm is not available: cannot fetch @tauri-apps/api";
  }
  ASSERT_TRUE(built->status.success()) << built->err;
  std::string version = built->out;

  HostedPage page(out);
  ASSERT_TRUE(run_until([] { return !config_value("tauri").is_null(); }, std::chrono::seconds(60)))
      << "the page built with @tauri-apps/api " << version << " never reported";
  json r = config_value("tauri");
  ASSERT_FALSE(r.contains("error")) << r["error"];
  EXPECT_EQ(r["ping"], (json{{"ok", true}, {"shell", "swift"}}));
  EXPECT_EQ(r["rejected"], "command not implemented in the Swift shell yet: no_such_command");
  EXPECT_EQ(r["roundTrip"], (json{1, "two"}));
  // once fires for the first event only and removes itself; unlisten stops the other one.
  EXPECT_EQ(r["events"], json::parse(R"([["listen",1,"demo"],["once",1],["listen",2,"demo"]])"))
      << "@tauri-apps/api " << version;

  page.host().bridge()->emit("executor-status", json{{"status", "ready"}});
  std::optional<std::string> got;
  EXPECT_TRUE(run_until([&] {
    got = page.call("return window.nativeEvents;");
    return got && *got != "[]";
  }));
  EXPECT_EQ(got, R"([{"status":"ready"}])");
  std::filesystem::remove_all(out);
}

}  // namespace
}  // namespace vessa::testing
