// The Obsidian vault reader: titles, tags, links and the folder walk on generated vaults.
#include "commands/obsidian_vault.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <vector>

#include "commands/commands_test_support.hpp"

namespace vessa::commands {
namespace {

namespace ov = obsidian;
using testing::write_file;

std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(ObsidianVaultTitle, HeadingFrontMatterAndFileNameRules) {
  // The note's text, its file and its title.
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"---\ntitle: x\ntags: [a]\n---\nIntro\n# Plan\n", "/v/a.md", "Plan"},
      {"Just text\n## Not this\n", "/v/Meeting Notes.md", "Meeting Notes"},
      {"  \t#   Spaced out  \n", "/v/x.md", "Spaced out"},
      {"#NoSpace\n", "/v/fallback.MD", "fallback"},
      {"# \n#    \n# Real\n", "/v/x.md", "Real"},
      {"---\n# In front matter\n---\nbody\n", "/v/outside.md", "outside"},
      {"---\n# Unclosed front matter\n", "/v/x.md", "Unclosed front matter"},
      {"\xE3\x80\x80# Wide space\n", "/v/x.md", "Wide space"},
      {"# Windows\r\nline\r\n", "/v/x.md", "Windows"},
      {"text", "/v/a.b.md", "a.b"},
  };
  for (const auto& [text, file, title] : cases) EXPECT_EQ(ov::titleOf(text, file), title) << text;

  // Cut at 200 characters, not bytes: a multi-byte character is never split.
  EXPECT_EQ(ov::titleOf("# " + repeat("\xC3\xA9", 300), "/v/x.md"), repeat("\xC3\xA9", 200));
}

TEST(ObsidianVaultTags, FrontMatterAndInlineRules) {
  using Tags = std::vector<std::string>;
  const std::pair<std::string, Tags> cases[] = {
      {"---\ntags: [alpha, \"beta\", 'gamma']\n---\nLater #alpha and #delta\n",
       {"alpha", "beta", "gamma", "delta"}},
      {"---\ntags:\n  - one\n  - two\n---\nbody\n", {}},
      {"---\n  tags: solo  other,third\n---\n", {"solo", "other", "third"}},
      {"---\ntags: unclosed\n", {}},
      {"#a #1abc # #project/sub-task #tag, #tag.", {"project/sub-task", "tag"}},
      {"#Tag #tag #TAG", {"Tag", "tag", "TAG"}},
      {"#\xC3\xA9 #\xE6\x97\xA5\xE6\x9C\xAC", {"\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC"}},
      {"e#mbedded ##double #_under #x_y", {"x_y"}},
      {"#caf\x65\xCC\x81s", {"caf\x65\xCC\x81s"}},  // a combining accent stays in the tag
  };
  for (const auto& [text, tags] : cases) EXPECT_EQ(ov::extractTags(text), tags) << text;

  std::string many;
  for (int i = 0; i < 60; ++i) many += "#t" + std::to_string(i) + " ";
  auto tags = ov::extractTags(many);
  ASSERT_EQ(tags.size(), 50u);
  EXPECT_EQ(tags.front(), "t0");
  EXPECT_EQ(tags.back(), "t49");

  // Front-matter tags count towards the 50 but are never cut themselves.
  std::string fm = "---\ntags: ";
  for (int i = 0; i < 55; ++i) fm += "f" + std::to_string(i) + ",";
  EXPECT_EQ(ov::extractTags(fm + "\n---\n#inline").size(), 55u);
  std::string fm49 = "---\ntags: ";
  for (int i = 0; i < 49; ++i) fm49 += "f" + std::to_string(i) + " ";
  auto topped = ov::extractTags(fm49 + "\n---\n#x1 #x2");
  ASSERT_EQ(topped.size(), 50u);
  EXPECT_EQ(topped.back(), "x1");
}

class ObsidianVaultReadTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(vault_); }

  std::string note(const std::string& relative, const std::string& text) {
    return write_file(vault_ + "/" + relative, text);
  }

  CommandResult read(const json& args) { return commands_.run("read_obsidian_vault", args); }

  // externalId -> record, failing the test on duplicates.
  std::map<std::string, json> by_id(const CommandResult& r) {
    std::map<std::string, json> out;
    EXPECT_TRUE(r.ok()) << r.error();
    if (!r.ok()) return out;
    for (const auto& rec : r.value()) {
      std::string id = rec.at("externalId");
      EXPECT_TRUE(out.emplace(id, rec).second) << "read twice: " << id;
    }
    return out;
  }

  testing::TempHome home_;
  std::string vault_ = home_.path() + "/vaults/My Vault";
  testing::Commands commands_;
};

TEST_F(ObsidianVaultReadTest, ReadsNotesAndSkipsWhatItMust) {
  note("Daily/2024-01-01.md", "---\ntags: [daily]\n---\n# Jan 1\n#work\n");
  note("UPPER.MD", "shouting");
  note(".hidden/visible.md", "# Hidden folder note");
  note("weird #name%&+=? \xC3\xBC.md", "x");
  for (const char* skipped : {".obsidian/a.md", ".trash/a.md", ".git/a.md", "node_modules/a.md",
                              ".obsidian-git/a.md", "deep/er/.trash/a.md"}) {
    note(skipped, "# should not be read");
  }
  note("deep/er/kept.md", "kept");
  note("blank.md", "  \n\n\t\r\n\xE2\x80\x83\n");
  note("bad.md", "# Bad \xFF\xFE bytes");
  note("empty.md", "");
  note("plain.txt", "# not markdown");
  note("folder.md/inner.md", "a folder named like a note is entered");

  note("odd\xFFname.md", "a file name that is not UTF-8");

  auto result = read({{"path", vault_}});
  // The page gets the record; the name's stray byte must not break encoding of the result.
  EXPECT_NE(encode_json(result.value()).find("odd\xEF\xBF\xBDname.md"), std::string::npos);
  auto notes = by_id(result);
  EXPECT_EQ(notes["odd\xFFname.md"].at("sourceUrl"),
            "obsidian://open?vault=My%20Vault&file=odd%FFname");
  notes.erase("odd\xFFname.md");
  std::vector<std::string> ids;
  for (const auto& [id, rec] : notes) ids.push_back(id);
  EXPECT_EQ(ids, (std::vector<std::string>{".hidden/visible.md", "Daily/2024-01-01.md", "UPPER.MD",
                                           "deep/er/kept.md", "folder.md/inner.md",
                                           "weird #name%&+=? \xC3\xBC.md"}));

  const json& daily = notes["Daily/2024-01-01.md"];
  EXPECT_EQ(daily.at("title"), "Jan 1");
  EXPECT_EQ(daily.at("tags"), json({"daily", "work"}));
  EXPECT_EQ(daily.at("content"), "---\ntags: [daily]\n---\n# Jan 1\n#work\n");
  EXPECT_EQ(daily.at("sourceUrl"), "obsidian://open?vault=My%20Vault&file=Daily%2F2024-01-01");
  // Only the lower-case ending is dropped from the link.
  EXPECT_EQ(notes["UPPER.MD"].at("sourceUrl"), "obsidian://open?vault=My%20Vault&file=UPPER.MD");
  EXPECT_EQ(notes["UPPER.MD"].at("title"), "UPPER");
  EXPECT_EQ(notes["weird #name%&+=? \xC3\xBC.md"].at("sourceUrl"),
            "obsidian://open?vault=My%20Vault&file=weird%20%23name%25%26%2B%3D%3F%20%C3%BC");
}

TEST_F(ObsidianVaultReadTest, PathsThatAreNotFolders) {
  note("a.md", "# A");
  const auto with_slashes = by_id(read({{"path", vault_ + "///"}}));
  EXPECT_EQ(with_slashes, by_id(read({{"path", vault_}})));
  EXPECT_EQ(with_slashes.count("a.md"), 1u);

  const std::pair<json, std::string> cases[] = {
      {{{"path", vault_ + "/missing//"}}, "Not a folder: " + vault_ + "/missing//"},
      {{{"path", vault_ + "/a.md"}}, "Not a folder: " + vault_ + "/a.md"},
      {{{"path", ""}}, "Not a folder: "},
      {{{"path", 42}}, "Not a folder: "},
  };
  for (const auto& [args, error] : cases)
    EXPECT_EQ(commands_.fails("read_obsidian_vault", args), error);

  std::filesystem::create_directories(vault_ + "/../Empty");
  auto empty = read({{"path", vault_ + "/../Empty"}});
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty.value(), json::array());
}

TEST_F(ObsidianVaultReadTest, FoldersBelowDepthTwentyFourAreNotListed) {
  std::string rel;
  for (int depth = 0; depth <= 27; ++depth) {
    note(rel + "n" + std::to_string(depth) + ".md", "depth " + std::to_string(depth));
    rel += "d/";
  }
  auto notes = by_id(read({{"path", vault_}}));
  for (int depth = 0; depth <= 27; ++depth) {
    std::string id = repeat("d/", depth) + "n" + std::to_string(depth) + ".md";
    EXPECT_EQ(notes.count(id), depth <= 24 ? 1u : 0u) << "depth " << depth;
  }
}

// Links back up the tree used to multiply the walk (each loop doubles it per level).
TEST_F(ObsidianVaultReadTest, LinkLoopsAndSharedTargetsAreReadOnce) {
  note("root.md", "root");
  note("a/a.md", "a");
  note("b/b.md", "b");
  const std::string outside = home_.path() + "/vaults/outside";
  write_file(outside + "/ext.md", "# External");
  std::filesystem::create_directory_symlink(vault_, vault_ + "/a/up");
  std::filesystem::create_directory_symlink("..", vault_ + "/a/parent");
  std::filesystem::create_directory_symlink(vault_ + "/b", vault_ + "/b/self");
  std::filesystem::create_directory_symlink(outside, vault_ + "/link1");
  std::filesystem::create_directory_symlink(outside, vault_ + "/link2");
  std::filesystem::create_symlink(vault_ + "/nowhere", vault_ + "/broken.md");

  auto notes = by_id(read({{"path", vault_}}));
  EXPECT_EQ(notes.count("root.md"), 1u);
  EXPECT_EQ(notes.count("a/a.md"), 1u);
  EXPECT_EQ(notes.count("b/b.md"), 1u);
  int external = 0;
  for (const auto& [id, rec] : notes) external += rec.at("title") == "External" ? 1 : 0;
  EXPECT_EQ(external, 1);
  EXPECT_EQ(notes.size(), 4u);
}

// A FIFO named like a note used to hang the read forever; a link to /dev/zero read until memory
// ran out. Only regular files up to 10 MiB are notes.
TEST_F(ObsidianVaultReadTest, OnlyRegularNotesUpToTheCapAreRead) {
  const std::string fifo = home_.path() + "/outside.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((vault_ + "/pipe.md").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", vault_ + "/zero.md");
  std::filesystem::create_symlink(fifo, vault_ + "/via-link.md");
  const size_t cap = 10u * 1024 * 1024;
  const std::string fits = "# Fits\n" + std::string(cap - 7, 'x');
  note("fits.md", fits);
  note("over.md", fits + "y");

  // A hang shows as the dispatch timing out after 60 s (the test takes 18 s under sanitizers).
  auto notes = by_id(read({{"path", vault_}}));
  const std::pair<std::string, bool> cases[] = {
      {"fits.md", true},  {"over.md", false},     {"pipe.md", false},
      {"zero.md", false}, {"via-link.md", false},
  };
  for (const auto& [id, read_back] : cases) EXPECT_EQ(notes.count(id), read_back ? 1u : 0u) << id;
  ASSERT_EQ(notes.count("fits.md"), 1u);
  EXPECT_EQ(notes["fits.md"].at("content").get<std::string>().size(), cap);
}

TEST_F(ObsidianVaultReadTest, UnreadableFilesAndFoldersAreSkipped) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads everything";
  note("ok.md", "fine");
  note("locked.md", "secret");
  note("closed/inside.md", "secret");
  std::filesystem::permissions(vault_ + "/locked.md", std::filesystem::perms::none);
  std::filesystem::permissions(vault_ + "/closed", std::filesystem::perms::none);
  auto notes = by_id(read({{"path", vault_}}));
  std::filesystem::permissions(vault_ + "/closed", std::filesystem::perms::owner_all);
  EXPECT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes.count("ok.md"), 1u);
}

}  // namespace
}  // namespace vessa::commands
