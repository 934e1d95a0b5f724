// Atomic writes, whole-file reads, line splitting and paths.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <vector>

#include "fixtures/bundle.hpp"
#include "support/fs.hpp"
#include "support/lines.hpp"
#include "support/paths.hpp"

namespace vessa {
namespace {

std::string home() { return std::getenv("HOME"); }

size_t entries_in(const std::string& dir) {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
  return n;
}

mode_t mode_of(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Settings and secrets used to appear 0644 whatever the umask.
TEST(AtomicWrite, NewFilesArePrivateAndExistingFilesKeepTheirMode) {
  const mode_t old_umask = ::umask(022);
  struct Case {
    std::string name;
    std::optional<mode_t> existing;
    mode_t expected;
  };
  const Case cases[] = {
      {"new.json", std::nullopt, 0600},
      {"shared.json", 0644, 0644},
      {"group.json", 0640, 0640},
  };
  ASSERT_TRUE(fs::create_directories(home() + "/cfg/private", 0700));
  for (const auto& c : cases) {
    const std::string path = home() + "/cfg/private/" + c.name;
    if (c.existing) {
      vessa::testing::write_file(path, "old");
      ::chmod(path.c_str(), *c.existing);
    }
    ASSERT_TRUE(fs::atomic_write(path, "second, longer")) << c.name;
    EXPECT_EQ(fs::read_file(path), "second, longer");
    EXPECT_EQ(mode_of(path), c.expected) << c.name;
  }
  EXPECT_EQ(mode_of(home() + "/cfg/private"), 0700u);
  EXPECT_EQ(entries_in(home() + "/cfg/private"), 3u);  // no temporary file left behind
  ::umask(old_umask);
}

TEST(AtomicWrite, FailureLeavesNoTemporaryAndReportsFalse) {
  EXPECT_FALSE(fs::atomic_write(home() + "/missing-folder/x.json", "data"));
  std::filesystem::create_directories(home() + "/ro");
  fs::atomic_write(home() + "/ro/x", "old");
  ::chmod((home() + "/ro").c_str(), 0500);
  if (::geteuid() != 0) {  // root ignores folder permissions
    EXPECT_FALSE(fs::atomic_write(home() + "/ro/x", "new"));
    EXPECT_EQ(fs::read_file(home() + "/ro/x"), "old");
  }
  ::chmod((home() + "/ro").c_str(), 0700);
}

// A killed writer used to leave its temporary file (a whole config's size) for ever.
TEST(AtomicWrite, WriterKilledMidwayLeavesTheOldFileWholeAndTheNextWriteCleansUp) {
  std::string path = home() + "/big.json";
  ASSERT_TRUE(fs::atomic_write(path, "old content"));
  pid_t pid = ::fork();
  if (pid == 0) {
    std::string huge(256u << 20, 'x');  // slow enough to be interrupted
    (void)fs::atomic_write(path, huge);
    ::_exit(0);
  }
  ::usleep(100 * 1000);
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  auto content = fs::read_file(path);
  ASSERT_TRUE(content.has_value());
  // Either the old file or (if the writer was fast) the complete new one, never a mix.
  EXPECT_TRUE(*content == "old content" || content->size() == (256u << 20));
  ASSERT_TRUE(fs::atomic_write(path, "next"));
  size_t temps = 0;
  for (const auto& e : std::filesystem::directory_iterator(home())) {
    temps += e.path().filename().string().rfind(".big.json.tmp-", 0) == 0 ? 1 : 0;
  }
  EXPECT_EQ(temps, 0u);
}

TEST(AtomicWrite, OnlyOurAbandonedTemporaryFilesAreRemoved) {
  const std::string dir = home() + "/temps";
  fs::create_directories(dir);
  struct Case {
    std::string name;
    bool held;
    bool removed;
  };
  const Case cases[] = {
      {".f.json.tmp-Ab12Cd", false, true},
      {".f.json.tmp-Zz9Yy8", true, false},   // a live writer holds it
      {".f.json.tmp-Ab12C", false, false},   // not a name we make
      {".g.json.tmp-Ab12Cd", false, false},  // another file's
      {"f.json.tmp-Ab12Cd", false, false},
  };
  std::vector<fs::UniqueFd> holders;
  for (const auto& c : cases) {
    vessa::testing::write_file(dir + "/" + c.name, "partial");
    if (!c.held) continue;
    holders.emplace_back(::open((dir + "/" + c.name).c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::flock(holders.back().get(), LOCK_EX), 0);
  }
  ASSERT_TRUE(fs::atomic_write(dir + "/f.json", "{}"));
  for (const auto& c : cases) {
    EXPECT_EQ(std::filesystem::exists(dir + "/" + c.name), !c.removed) << c.name;
  }
}

TEST(ReadFile, MissingAndFoldersAreNotFiles) {
  EXPECT_FALSE(fs::read_file(home() + "/nope").has_value());
  EXPECT_FALSE(fs::read_file(home()).has_value());
  vessa::testing::write_file(home() + "/empty", "");
  EXPECT_EQ(fs::read_file(home() + "/empty"), "");
}

TEST(LineSplitter, ChunksAnyWhereGiveTheSameLines) {
  const std::string text = "alpha\r\nbeta\n\ngamma\rdelta\nlast";
  for (size_t chunk = 1; chunk <= text.size(); ++chunk) {
    std::vector<std::string> lf;
    std::vector<std::string> cr;
    LineSplitter a([&](std::string_view l) { lf.emplace_back(l); });
    LineSplitter b([&](std::string_view l) { cr.emplace_back(l); }, true);
    for (size_t i = 0; i < text.size(); i += chunk) {
      a.feed(std::string_view(text).substr(i, chunk));
      b.feed(std::string_view(text).substr(i, chunk));
    }
    a.finish();
    b.finish();
    EXPECT_EQ(lf, (std::vector<std::string>{"alpha", "beta", "", "gamma\rdelta", "last"})) << chunk;
    EXPECT_EQ(cr, (std::vector<std::string>{"alpha", "beta", "", "gamma", "delta", "last"}))
        << chunk;
  }
}

TEST(Paths, HomeAndXdgFollowTheEnvironment) {
  vessa::testing::TempHome temp;
  EXPECT_EQ(paths::home_dir(), temp.path());
  EXPECT_EQ(paths::config_home(), temp.path() + "/.config");
  ::setenv("XDG_DATA_HOME", "relative/ignored", 1);
  EXPECT_EQ(paths::data_home(), temp.path() + "/.local/share");
  ::setenv("HOME", "", 1);
  EXPECT_FALSE(paths::home_dir().empty());  // falls back to the password database
}

TEST(Paths, BundleIsRecognisedByItsInfoFile) {
  std::string bundle = home() + "/Vessa.app";
  vessa::testing::write_file(bundle + "/bin/vessa", "", 0755);
  vessa::testing::ScopedExecutable running(bundle + "/bin/vessa");
  EXPECT_FALSE(paths::bundle_dir().has_value());
  vessa::testing::write_bundle(bundle);
  ASSERT_TRUE(paths::bundle_dir().has_value());
  EXPECT_EQ(paths::bundle_resources_dir()->string(), bundle + "/Resources");
}

}  // namespace
}  // namespace vessa
