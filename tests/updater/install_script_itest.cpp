// The swap script run against temporary bundle folders: it waits for the application to end,
// leaves either the old or the new bundle whole, survives hostile path characters, relaunches.
#include <gtest/gtest.h>

#include <filesystem>

#include "fixtures/helpers.hpp"
#include "updater_fixture.hpp"

namespace vessa::updater {
namespace {

using testing::ended_pid;
using testing::read_file;
using testing::TempHome;
using testing::write_versioned_bundle;
namespace stdfs = std::filesystem;

proc::ExitStatus run_script(const std::string& script) {
  proc::Options o;
  o.argv = {"/bin/sh", "-c", script};
  proc::RunOptions ro;
  ro.timeout = std::chrono::seconds(30);
  auto r = proc::run(o, ro);
  EXPECT_TRUE(r.has_value());
  return r ? r->status : proc::ExitStatus{};
}

std::string marker(const stdfs::path& bundle) {
  return read_file((bundle / "Resources/marker.txt").string());
}

// The swap leaves exactly one bundle whole at the target: the new one, or the old one when the
// move fails, and no leftover of it or of an earlier interrupted swap.
TEST(InstallScript, SwapLeavesOneWholeBundleAndNoLeftovers) {
  struct Case {
    const char* what;
    std::string folder;  // holds the target and the staged bundle
    bool staged;         // false: the staged bundle is missing, so the move fails
    bool leftovers;      // .previous and .updating folders of an interrupted swap
  };
  // Each character of the hostile folder would break or run code inside a double-quoted path.
  const Case cases[] = {
      {"hostile path", "it's \"$(touch pwned)\" `touch pwned2` $HOME", true, false},
      {"failed move", "apps", false, false},
      {"leftovers", "plain", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempHome home;
    const stdfs::path target = home.path() + "/" + c.folder + "/Vessa.app";
    const stdfs::path staged = home.path() + "/" + c.folder + "/staged dir/Vessa.app";
    write_versioned_bundle(target.string(), "1.0.0");
    if (c.staged) write_versioned_bundle(staged.string(), "2.0.0");
    if (c.leftovers) {
      write_versioned_bundle(target.string() + ".previous", "0.9.0");
      write_versioned_bundle(target.string() + ".updating", "0.9.1");
    }
    auto status = run_script(UpdateChecker::install_script(ended_pid(), staged, target, false));
    EXPECT_EQ(status.success(), c.staged) << status.describe();
    EXPECT_EQ(marker(target), c.staged ? "2.0.0" : "1.0.0");
    EXPECT_TRUE(paths::is_executable_file(target / "bin/vessa"));
    EXPECT_FALSE(stdfs::exists(staged));
    EXPECT_FALSE(stdfs::exists(target / "Vessa.app.previous"));
    EXPECT_FALSE(stdfs::exists(target.string() + ".previous"));
    EXPECT_FALSE(stdfs::exists(target.string() + ".updating"));
    EXPECT_FALSE(stdfs::exists(home.path() + "/pwned"));
    EXPECT_FALSE(stdfs::exists("pwned2"));
  }
}

TEST(InstallScript, WaitsForTheApplicationThenRelaunchesTheNewBundle) {
  TempHome home;
  stdfs::path target = home.path() + "/apps/Vessa.app";
  stdfs::path staged = home.path() + "/staged/Vessa.app";
  write_versioned_bundle(target.string(), "1.0.0");
  write_versioned_bundle(staged.string(), "2.0.0", "echo \"$0 $#\" >\"$HOME/relaunched\"");

  auto app = testing::sleeping_app();
  ASSERT_TRUE(app);
  proc::Options script_options;
  script_options.argv = {"/bin/sh", "-c",
                         UpdateChecker::install_script(app->pid(), staged, target, true)};
  auto script = proc::Process::start(script_options);
  ASSERT_TRUE(script.has_value());

  // While the application runs, nothing moves.
  EXPECT_FALSE((*script)->wait_for(std::chrono::milliseconds(900)).has_value());
  EXPECT_EQ(marker(target), "1.0.0");

  app->terminate(std::chrono::milliseconds(500));
  auto ended = (*script)->wait_for(std::chrono::seconds(20));
  if (!ended) (*script)->terminate(std::chrono::milliseconds(200));
  ASSERT_TRUE(ended.has_value());
  EXPECT_TRUE(ended->success()) << ended->describe();
  EXPECT_EQ(marker(target), "2.0.0");
  // The relaunched program is the new bundle's, started without arguments.
  std::string relaunched = home.path() + "/relaunched";
  // The shell creates the file before echo writes to it: wait for the whole line.
  EXPECT_TRUE(testing::run_until([&] {
    auto text = read_file(relaunched);
    return !text.empty() && text.back() == '\n';
  }));
  EXPECT_EQ(read_file(relaunched), (target / "bin/vessa").string() + " 0\n");
}

}  // namespace
}  // namespace vessa::updater
