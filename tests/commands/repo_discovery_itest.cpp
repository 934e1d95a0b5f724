// Local repository discovery over a generated home folder with real git repositories.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "commands/commands_test_support.hpp"
#include "commands/repo_discovery.hpp"
#include "fixtures/git_repos.hpp"
#include "fixtures/scripts.hpp"

namespace vessa::commands {
namespace {

namespace stdfs = std::filesystem;
using testing::write_file;

void make_repo(const std::string& path, const std::string& origin = "",
               const std::string& branch = "main") {
  stdfs::create_directories(path);
  testing::git(path, {"init", "-q", "-b", branch});
  if (!origin.empty()) testing::git(path, {"remote", "add", "origin", origin});
}

// The entries keyed by path (relative to home) for compact checks.
std::map<std::string, json> by_path(const json& results, const std::string& home) {
  std::map<std::string, json> out;
  for (const auto& e : results) {
    std::string p = e["path"];
    out[p.starts_with(home) ? p.substr(home.size()) : p] = e;
  }
  return out;
}

class RepoDiscovery : public ::testing::Test {
 protected:
  testing::TempHome home_;
  const std::string& h() { return home_.path(); }
};

TEST_F(RepoDiscovery, ScanFindsRepositoriesWithinTheRulesAndDescribesThem) {
  make_repo(h() + "/Projects/alpha", "git@github.com:me/alpha.git");
  make_repo(h() + "/Projects/alpha/inner");  // inside a recorded repository
  make_repo(h() + "/Projects/a/b/c", "", "feature/x");
  make_repo(h() + "/Projects/x1/x2/x3/x4");  // four levels below the root
  make_repo(h() + "/Projects/node_modules/pkg");
  make_repo(h() + "/Projects/.hidden/secret");
  make_repo(h() + "/Projects/sub/build/out");  // under a skipped name
  make_repo(h() + "/code");                    // a root that is a repo
  make_repo(h() + "/code/tool");
  make_repo(h() + "/direct");  // a child of home
  make_repo(h() + "/Desktop/skipped");
  make_repo(h() + "/Desktop/deeper/skipped");
  make_repo(h() + "/notroot/nested");  // home pass does not descend
  make_repo(h() + "/dev/detached");
  write_file(h() + "/dev/detached/.git/HEAD", "0123456789abcdef0123456789abcdef01234567\n");
  // Hand-written configs: single-quoted origin, url in another remote, no "=" on a url line.
  make_repo(h() + "/src/quotes");
  write_file(h() + "/src/quotes/.git/config",
             "[remote \"upstream\"]\n\turl = https://github.com/up/stream.git\n"
             "[remote 'origin']\n  url\n\turl =  https://gitlab.com/me/quotes.git  \n");
  make_repo(h() + "/src/otheronly");
  write_file(h() + "/src/otheronly/.git/config",
             "[remote \"upstream\"]\n\turl = https://github.com/up/stream.git\n");
  // A symbolic link to a repository folder counts as a folder.
  make_repo(h() + "/elsewhere/linked-target");
  stdfs::create_directories(h() + "/repos");
  stdfs::create_directory_symlink(h() + "/elsewhere/linked-target", h() + "/repos/linked");

  auto found = by_path(repos::scan_repos({}), h());
  std::vector<std::string> paths;
  for (const auto& [p, e] : found) paths.push_back(p);
  EXPECT_EQ(paths, (std::vector<std::string>{"/Projects/a/b/c", "/Projects/alpha", "/code",
                                             "/code/tool", "/dev/detached", "/direct",
                                             "/repos/linked", "/src/otheronly", "/src/quotes"}));

  EXPECT_EQ(found["/Projects/alpha"], json({{"path", h() + "/Projects/alpha"},
                                            {"name", "alpha"},
                                            {"remoteUrl", "git@github.com:me/alpha.git"},
                                            {"branch", "main"},
                                            {"provider", "github"}}));
  EXPECT_EQ(found["/Projects/a/b/c"]["branch"], "feature/x");
  EXPECT_EQ(found["/dev/detached"]["branch"], "main");
  EXPECT_EQ(found["/direct"]["remoteUrl"], nullptr);
  EXPECT_EQ(found["/src/quotes"]["remoteUrl"], "https://gitlab.com/me/quotes.git");
  EXPECT_EQ(found["/src/otheronly"]["remoteUrl"], nullptr);
  EXPECT_EQ(found["/repos/linked"]["name"], "linked");
}

TEST_F(RepoDiscovery, LinkedWorktreeWithRelativeGitdirUsesItsHeadAndTheCommonConfig) {
  make_repo(h() + "/Projects/main-repo", "https://github.com/me/main-repo.git");
  testing::git(h() + "/Projects/main-repo", {"-c", "user.name=T", "-c", "user.email=t@e", "commit",
                                             "-q", "--allow-empty", "-m", "init"});
  testing::git(h() + "/Projects/main-repo", {"worktree", "add", "-q", "-b", "topic", "../wt"});
  // The relative form newer git writes with worktree.useRelativePaths.
  write_file(h() + "/Projects/wt/.git", "  gitdir: ../main-repo/.git/worktrees/wt\t\n");
  ASSERT_EQ(testing::read_file(h() + "/Projects/main-repo/.git/worktrees/wt/commondir"), "../..\n");
  auto found = by_path(repos::scan_repos({}), h());
  ASSERT_TRUE(found.count("/Projects/wt"));
  EXPECT_EQ(found["/Projects/wt"]["branch"], "topic");
  EXPECT_EQ(found["/Projects/wt"]["remoteUrl"], "https://github.com/me/main-repo.git");
  EXPECT_EQ(found["/Projects/main-repo"]["branch"], "main");
}

TEST_F(RepoDiscovery, UnreadableGitFilesLeaveDefaults) {
  // ".git" file without a gitdir line; HEAD not UTF-8; HEAD a FIFO (must not block).
  write_file(h() + "/Projects/nogitdir/.git", "something else\n");
  write_file(h() + "/Projects/badhead/.git/HEAD", "ref: refs/heads/\xff\xfe\n");
  write_file(h() + "/Projects/badhead/.git/config", "[remote \"origin\"]\n url = \xff\n");
  stdfs::create_directories(h() + "/Projects/fifohead/.git");
  ASSERT_EQ(::mkfifo((h() + "/Projects/fifohead/.git/HEAD").c_str(), 0644), 0);
  auto found = by_path(repos::scan_repos({}), h());
  for (const char* p : {"/Projects/nogitdir", "/Projects/badhead", "/Projects/fifohead"}) {
    ASSERT_TRUE(found.count(p)) << p;
    EXPECT_EQ(found[p]["branch"], "main") << p;
    EXPECT_EQ(found[p]["remoteUrl"], nullptr) << p;
  }
}

TEST_F(RepoDiscovery, SortIsCaseInsensitive) {
  for (const char* p : {"/Projects/beta", "/Projects/one/Api", "/Projects/Alpha"}) {
    write_file(h() + p + "/.git/HEAD", "ref: refs/heads/main\n");
  }
  std::vector<std::string> names;
  for (const auto& e : repos::scan_repos({})) names.push_back(e["name"]);
  EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "Api", "beta"}));
}

TEST_F(RepoDiscovery, ExtraRootsHomeModeLimitAndDeadline) {
  make_repo(h() + "/elsewhere/one");
  make_repo(h() + "/tilde/two");
  make_repo(h() + "/Projects/p1");
  make_repo(h() + "/Projects/p2");
  repos::ScanOptions o;
  o.extra_roots = {"  " + h() + "/elsewhere\n",
                   "",
                   h() + "/Projects",
                   h() + "/Projects/",
                   h() + "/missing",
                   "~/tilde"};
  auto found = by_path(repos::scan_repos(o), h());
  EXPECT_EQ(found.size(), 4u);
  EXPECT_TRUE(found.count("/elsewhere/one") && found.count("/tilde/two"));

  o.max_repos = 2;
  EXPECT_EQ(repos::scan_repos(o).size(), 2u);
  o.max_repos = 80;
  o.budget = std::chrono::milliseconds(0);
  EXPECT_EQ(repos::scan_repos(o), json::array());

  // Home itself as a root, however written, inspects only its children.
  make_repo(h() + "/top");
  o.budget = repos::ScanOptions().budget;
  for (const std::string& root :
       {std::string("~"), std::string(" ") + h() + "/ ", h() + "/Projects/.."}) {
    o.extra_roots = {h() + "/Projects", root};
    found = by_path(repos::scan_repos(o), h());
    EXPECT_EQ(found.size(), 1u) << root;
    EXPECT_TRUE(found.count("/top")) << root;
  }
}

TEST(RepoScanOptions, ArgumentsFromThePage) {
  // The arguments; the limit and the number of extra roots read from them.
  const std::tuple<json, int, size_t> cases[] = {
      {json::object(), 80, 0},
      {{{"maxRepos", 0}}, 1, 0},
      {{{"maxRepos", 500}}, 200, 0},
      {{{"maxRepos", 7.9}}, 7, 0},
      {{{"maxRepos", "10"}}, 80, 0},
      {{{"extraRoots", {"/a", "/b"}}}, 80, 2},
      {{{"extraRoots", {"/a", 3}}}, 80, 0},
      {{{"extraRoots", "/a"}}, 80, 0},
  };
  for (const auto& [args, max, roots] : cases) {
    auto o = repos::scan_options_from_args(args);
    EXPECT_EQ(std::pair(o.max_repos, o.extra_roots.size()), std::pair(max, roots)) << args;
  }
}

TEST(RepoProvider, FromRemoteUrl) {
  const std::pair<const char*, const char*> cases[] = {
      {"git@github.com:me/x.git", "github"},
      {"HTTPS://GitHub.com/me/x", "github"},
      {"https://bitbucket.org/t/x.git", "bitbucket"},
      {"bitbucket:t/x", "bitbucket"},
      {"https://gitlab.com/g/x.git", "gitlab"},
      {"https://gitlab.example.com/g/x.git", "other"},
      {"ssh://git.internal/x", "other"},
  };
  for (const auto& [url, provider] : cases) EXPECT_EQ(repos::provider_for(url), provider) << url;
}

TEST_F(RepoDiscovery, FindLocalRepo) {
  EXPECT_EQ(repos::find_local_repo("nothing"), json({{"found", false}, {"path", nullptr}}));
  make_repo(h() + "/Projects/lower");
  make_repo(h() + "/Projects/MixedCase");
  make_repo(h() + "/GitHub/both");
  make_repo(h() + "/both");
  const std::pair<const char*, std::string> cases[] = {
      {"LOWER", h() + "/Projects/lower"},
      {"mixedcase", h() + "/Projects/MixedCase"},
      {"both", h() + "/both"},  // home comes first
  };
  for (const auto& [slug, path] : cases) {
    EXPECT_EQ(repos::find_local_repo(slug), json({{"found", true}, {"path", path}})) << slug;
  }
  EXPECT_EQ(repos::find_local_repo(""), json({{"found", false}, {"path", nullptr}}));
  make_repo(h());
  EXPECT_EQ(repos::find_local_repo(""), json({{"found", true}, {"path", h()}}));
}

TEST_F(RepoDiscovery, DetectToolsReadsFirstLineOfStdoutFromThePath) {
  std::string bin = h() + "/bin";
  testing::write_script(bin + "/git", "printf '\\n  git version 9.9.9  \\nsecond\\n'");
  testing::write_script(bin + "/gh", "printf '\\377\\376\\n'\necho err >&2");
  json tools;
  {
    testing::ScopedEnv path("PATH", bin + ":" + std::getenv("PATH"));
    tools = repos::detect_tools();
  }
  EXPECT_EQ(tools, json::parse(R"({"gitAvailable": true, "gitVersion": "git version 9.9.9  ",
    "ghAvailable": true, "ghVersion": null, "home": )" +
                               json(h()).dump() + "}"));
  testing::write_script(bin + "/gh", "echo 'gh failed'\nexit 3");
  std::remove((bin + "/git").c_str());
  {
    testing::ScopedEnv path("PATH", bin);  // /usr/bin/env finds no git at all
    tools = repos::detect_tools();
  }
  EXPECT_EQ(tools["gitVersion"], "");
  EXPECT_FALSE(tools["gitAvailable"] || tools["ghAvailable"]);
  EXPECT_EQ(tools["ghVersion"], "gh failed");
}

TEST_F(RepoDiscovery, CommandsAnswerThroughTheRegistry) {
  make_repo(h() + "/Projects/reg");
  testing::Commands commands;
  EXPECT_EQ(commands.ok("git_scan_repos", {{"maxRepos", "x"}})[0]["name"], "reg");
  EXPECT_EQ(commands.ok("find_local_repo", {{"slug", "REG"}})["path"], h() + "/Projects/reg");
  EXPECT_EQ(commands.ok("git_detect_tools")["home"], h());
}

}  // namespace
}  // namespace vessa::commands
