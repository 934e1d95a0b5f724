// The child-process PATH: the login shell's, then the inherited one, then the fixed tool folders.
#include "support/login_path.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "fixtures/scripts.hpp"
#include "fixtures/temp_home.hpp"

namespace vessa::launch {
namespace {

using testing::ScopedEnv;
using testing::TempHome;
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

}  // namespace
}  // namespace vessa::launch
