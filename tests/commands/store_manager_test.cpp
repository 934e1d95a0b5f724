// The key-value store: operations, file names, what loads as empty, escapes, concurrency.
#include "commands/store_manager.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "fixtures/temp_home.hpp"

namespace vessa::commands {
namespace {

namespace stdfs = std::filesystem;
using testing::read_file;
using testing::write_file;

class StoreTest : public ::testing::Test {
 protected:
  json ok(StoreManager& m, const std::string& op, const json& args) {
    CommandResult r = m.handle(op, args);
    EXPECT_TRUE(r.ok()) << op << ": " << r.error();
    return r.value();
  }
  std::vector<std::string> files_in(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : stdfs::directory_iterator(dir)) out.push_back(e.path().filename());
    std::sort(out.begin(), out.end());
    return out;
  }
  testing::TempHome home_;
  std::string root_ = home_.path();
  std::string dir_ = root_ + "/data/stores";
};

TEST_F(StoreTest, KeySemantics) {
  StoreManager m(dir_);
  EXPECT_TRUE(stdfs::is_directory(dir_));
  json s = {{"path", "k.json"}};
  EXPECT_EQ(ok(m, "get", {{"path", "k.json"}, {"key", "k"}}), nullptr);
  EXPECT_EQ(ok(m, "entries", s), json::array());
  EXPECT_FALSE(stdfs::exists(dir_ + "/k.json"));  // reading never writes
  auto with = [&](json extra) {
    json a = s;
    a.update(extra);
    return a;
  };
  ok(m, "set", with({{"key", "n"}}));  // no value: stores null
  ok(m, "set", with({{"key", "v"}, {"value", {{"deep", {1, 2, 3}}}}}));
  ok(m, "set", with({{"key", "f"}, {"value", false}}));

  EXPECT_EQ(ok(m, "get", with({{"key", "n"}})), nullptr);
  EXPECT_EQ(ok(m, "has", with({{"key", "n"}})), false);
  EXPECT_EQ(ok(m, "has", with({{"key", "f"}})), true);  // false is a value, unlike null
  EXPECT_EQ(ok(m, "get", with({{"key", "v"}})), json({{"deep", {1, 2, 3}}}));
  EXPECT_EQ(ok(m, "length", s), 3);

  json keys = ok(m, "keys", s), values = ok(m, "values", s), entries = ok(m, "entries", s);
  ASSERT_EQ(entries.size(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(entries[i], json::array({keys[i], values[i]}));

  EXPECT_EQ(ok(m, "delete", with({{"key", "n"}})), true);  // present with null counts
  EXPECT_EQ(ok(m, "delete", with({{"key", "n"}})), false);
  EXPECT_EQ(ok(m, "delete", with({{"key", "missing"}})), false);

  // A non-string key reads as "" for get/has/delete.
  ok(m, "set", with({{"key", ""}, {"value", "empty"}}));
  EXPECT_EQ(ok(m, "get", with({{"key", 5}})), "empty");
  EXPECT_EQ(ok(m, "get", s), "empty");
}

TEST_F(StoreTest, FailuresAndTheirSideEffects) {
  StoreManager m(dir_);
  write_file(dir_ + "/pre.json", R"({"a": 1})");
  EXPECT_EQ(m.handle("set", {{"path", "x.json"}, {"key", 3}}).error(), "store set: missing key");
  EXPECT_EQ(m.handle("frobnicate", {{"path", "pre.json"}}).error(),
            "store op not implemented: frobnicate");
  // The unknown operation still loaded the store: a later file change is not seen.
  write_file(dir_ + "/pre.json", R"({"a": 2})");
  EXPECT_EQ(ok(m, "get", {{"path", "pre.json"}, {"key", "a"}}), 1);
  EXPECT_EQ(ok(m, "reload", {{"path", "pre.json"}}), nullptr);
  EXPECT_EQ(ok(m, "get", {{"path", "pre.json"}, {"key", "a"}}), 1);
}

TEST_F(StoreTest, StoreNameResolution) {
  StoreManager m(dir_);
  const std::pair<json, std::string> cases[] = {
      {json::object(), "store.json"},
      {{{"path", 7}, {"store", "named.json"}}, "named.json"},
      {{{"path", "p.json"}, {"store", "ignored.json"}}, "p.json"},
      {{{"path", "a/b/c.json"}}, "a_b_c.json"},
      {{{"path", "../up.json"}}, ".._up.json"},
  };
  for (auto [args, file] : cases) {
    args.update({{"key", "k"}, {"value", file}});
    ok(m, "set", args);
    ok(m, "save", args);
    auto parsed = parse_json(read_file(dir_ + "/" + file));
    ASSERT_TRUE(parsed) << file;
    EXPECT_EQ((*parsed)["k"], file);
  }
  EXPECT_FALSE(stdfs::exists(root_ + "/data/up.json"));
}

TEST_F(StoreTest, OnlySaveClearAndResetWritePrettyFiles) {
  StoreManager m(dir_);
  json s = {{"path", "selftest.json"}};
  ok(m, "set", {{"path", "selftest.json"}, {"key", "hello"}, {"value", "world"}});
  ok(m, "delete", {{"path", "selftest.json"}, {"key", "nothing"}});
  EXPECT_FALSE(stdfs::exists(dir_ + "/selftest.json"));
  ok(m, "save", s);
  std::string text = read_file(dir_ + "/selftest.json");
  EXPECT_NE(text.find("\n  \"hello\": \"world\""), std::string::npos) << text;
  // Changes after the save stay in memory until the next write.
  ok(m, "set", {{"path", "selftest.json"}, {"key", "later"}, {"value", 1}});
  EXPECT_EQ(read_file(dir_ + "/selftest.json"), text);

  for (const char* op : {"clear", "reset"}) {
    ok(m, "set", {{"path", "selftest.json"}, {"key", "x"}, {"value", 1}});
    ok(m, op, s);
    EXPECT_EQ(*parse_json(read_file(dir_ + "/selftest.json")), json::object()) << op;
    EXPECT_EQ(ok(m, "length", s), 0) << op;
  }
  // No temporary files are left next to the stores, only the file and its lock.
  EXPECT_EQ(files_in(dir_), (std::vector<std::string>{".selftest.json.lock", "selftest.json"}));
}

TEST_F(StoreTest, FilesThatAreNotJsonObjectsLoadAsEmptyAndAreOverwrittenBySave) {
  const std::pair<std::string, std::string> cases[] = {
      {"corrupt.json", "{\"a\": 1,"},
      {"array.json", "[1, 2, 3]"},
  };
  StoreManager m(dir_);
  for (const auto& [name, content] : cases) {
    write_file(dir_ + "/" + name, content);
    EXPECT_EQ(ok(m, "length", {{"path", name}}), 0) << name;
    ok(m, "set", {{"path", name}, {"key", "k"}, {"value", 1}});
    ok(m, "save", {{"path", name}});
    EXPECT_EQ(*parse_json(read_file(dir_ + "/" + name)), json({{"k", 1}})) << name;
  }
}

// A 68 MB store used to load as {} under a 64 MiB cap, and the next save wrote {} over it.
TEST_F(StoreTest, StoreFilesThatCannotBeLoadedOrWouldOutgrowTheCapAreNeverOverwritten) {
  // 68 MB in one value: the text is built by hand, sparing the test a slow dump.
  const std::string blob(68u * 1000 * 1000, 'x');
  write_file(dir_ + "/big.json", "{\"theme\": \"dark\", \"blob\": \"" + blob + "\"}");
  StoreManager m(dir_);
  EXPECT_EQ(ok(m, "get", {{"path", "big.json"}, {"key", "theme"}}), "dark");
  ok(m, "set", {{"path", "big.json"}, {"key", "added"}, {"value", true}});
  ok(m, "save", {{"path", "big.json"}});
  EXPECT_EQ(*parse_json(read_file(dir_ + "/big.json")),
            json({{"theme", "dark"}, {"blob", blob}, {"added", true}}));

  const std::pair<std::string, std::string> cases[] = {
      {"over-cap.json", "{\"theme\": \"" + std::string(4096, 'x') + "\"}"},
      {"deep.json", "{\"theme\": " + std::string(600, '[') + std::string(600, ']') + "}"},
      {"folder.json", ""},
      {"fifo.json", ""},
  };
  stdfs::create_directories(dir_ + "/folder.json");
  ASSERT_EQ(::mkfifo((dir_ + "/fifo.json").c_str(), 0644), 0);
  for (const auto& [name, content] : cases) {
    if (!content.empty()) write_file(dir_ + "/" + name, content);
  }
  StoreManager capped(dir_, 2048);
  for (const auto& [name, content] : cases) {
    json s = {{"path", name}};
    EXPECT_EQ(ok(capped, "get", {{"path", name}, {"key", "theme"}}), nullptr) << name;
    ok(capped, "set", {{"path", name}, {"key", "k"}, {"value", 1}});
    for (const char* op : {"save", "clear", "reset"}) {
      const std::string error = capped.handle(op, s).error();
      EXPECT_EQ(error.rfind(std::string("store ") + op + ": " + dir_ + "/" + name, 0), 0u) << error;
      EXPECT_NE(error.find("left unchanged"), std::string::npos) << error;
    }
    if (!content.empty()) {
      EXPECT_EQ(read_file(dir_ + "/" + name), content) << name;
    }
  }
  EXPECT_TRUE(stdfs::is_directory(dir_ + "/folder.json"));

  // A store that would outgrow the cap fails to save and keeps the last good file.
  ok(capped, "set", {{"path", "cap.json"}, {"key", "a"}, {"value", 1}});
  ok(capped, "save", {{"path", "cap.json"}});
  ok(capped, "set", {{"path", "cap.json"}, {"key", "b"}, {"value", std::string(4096, 'x')}});
  EXPECT_EQ(
      capped.handle("save", {{"path", "cap.json"}}).error(),
      "store save: " + dir_ + "/cap.json would be larger than 2048 bytes; it was left unchanged");
  EXPECT_EQ(*parse_json(read_file(dir_ + "/cap.json")), json({{"a", 1}}));
}

TEST_F(StoreTest, NamesThatWouldLeaveTheFolderStayInMemoryAndCannotBeWritten) {
  StoreManager m(dir_);
  const std::string parent = root_ + "/data";
  // "/" becomes "_", a plain name inside the folder.
  EXPECT_EQ(m.file_for("/"), stdfs::path(dir_) / "_");
  for (const std::string& name : {std::string(""), std::string("."), std::string(".."),
                                  std::string("a\0b", 3), std::string(300, 'n')}) {
    EXPECT_FALSE(m.file_for(name).has_value()) << name;
    json s = {{"path", name}};
    ok(m, "set", {{"path", name}, {"key", "k"}, {"value", "v"}});
    EXPECT_EQ(m.handle("save", s).error(), "store save: \"" + name + "\" cannot name a store file");
    EXPECT_FALSE(m.handle("clear", s).ok());
    EXPECT_EQ(ok(m, "get", {{"path", name}, {"key", "k"}}), "v");
  }
  // Nothing was written beside or above the stores folder, and the folder is still a folder.
  EXPECT_EQ(files_in(parent), std::vector<std::string>{"stores"});
  EXPECT_TRUE(stdfs::is_directory(dir_));
  EXPECT_TRUE(files_in(dir_).empty());
}

// Two processes saving their own keys to one store used to keep only the last writer's.
TEST_F(StoreTest, ProcessesSavingTheirOwnKeysKeepEachOthers) {
  write_file(dir_ + "/shared.json", R"({"old": 1, "gone": 2})");
  constexpr int kProcesses = 10;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = ::fork();
    if (pid == 0) {
      StoreManager mine(dir_);
      json s = {{"path", "shared.json"}};
      mine.handle("set", {{"path", "shared.json"}, {"key", "p" + std::to_string(p)}, {"value", p}});
      if (p == 0) mine.handle("delete", {{"path", "shared.json"}, {"key", "gone"}});
      ::_exit(mine.handle("save", s).ok() ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  json expected = {{"old", 1}};
  for (int p = 0; p < kProcesses; ++p) expected["p" + std::to_string(p)] = p;
  EXPECT_EQ(*parse_json(read_file(dir_ + "/shared.json")), expected);
}

TEST_F(StoreTest, ConcurrentOperationsLoseNothing) {
  StoreManager m(dir_);
  constexpr int kThreads = 8;
  constexpr int kPerThread = 250;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&m, t] {
      for (int i = 0; i < kPerThread; ++i) {
        std::string key = "t" + std::to_string(t) + "-" + std::to_string(i);
        m.handle("set", {{"path", "shared.json"}, {"key", key}, {"value", i}});
        m.handle("get", {{"path", "shared.json"}, {"key", key}});
        if (i % 50 == 0) m.handle("save", {{"path", "shared.json"}});
      }
    });
  }
  for (auto& th : threads) th.join();
  m.handle("save", {{"path", "shared.json"}});
  auto parsed = parse_json(read_file(dir_ + "/shared.json"));
  ASSERT_TRUE(parsed && parsed->is_object());
  EXPECT_EQ(parsed->size(), static_cast<size_t>(kThreads * kPerThread));
  EXPECT_EQ((*parsed)["t7-249"], 249);
}

}  // namespace
}  // namespace vessa::commands
