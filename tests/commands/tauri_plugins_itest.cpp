// The store plug-in's resource form and the path plug-in, through the registry.
#include <gtest/gtest.h>

#include <filesystem>

#include "commands/app_dirs.hpp"
#include "commands/commands_test_support.hpp"
#include "fixtures/recording_app.hpp"
#include "support/lifecycle.hpp"
#include "support/paths.hpp"

namespace vessa::testing {

using commands::CommandRegistry;

namespace {

namespace stdfs = std::filesystem;

class TauriPlugins : public ::testing::Test,
                     protected HomeAndApp<RecordingApp>,
                     protected Commands {
 protected:
  TauriPlugins() : Commands(app_) {}
  json load(const std::string& path, const json& options = json::object()) {
    return ok("plugin:store|load", {{"path", path}, {"options", options}});
  }
  json on_disk(const std::string& rel) {
    return read_json_file((commands::app_dirs::app_data_dir() / rel).string()).value_or(json());
  }
  void restart() { registry = std::make_shared<CommandRegistry>(app_); }
};

// Values of every type surviving a restart in their own files are the page tests' (through the
// store package); here: what names one store, and what a restart does to the ids.
TEST_F(TauriPlugins, StoresAreNamedByTheirFileAndIdsDieWithTheRegistry) {
  json a = load("a.json", {{"autoSave", false}});
  json b = load("nested/b.json", {{"autoSave", false}});
  ASSERT_TRUE(a.is_number_integer() && b.is_number_integer());
  EXPECT_NE(a, b);
  EXPECT_EQ(load("./a.json"), a) << "one file, one store";
  EXPECT_EQ(ok("plugin:store|get_store", {{"path", "nested/b.json"}}), b);
  ok("plugin:store|set", {{"rid", a}, {"key", "k"}, {"value", 1}});
  EXPECT_EQ(ok("plugin:store|length", {{"rid", a}}), 1);
  restart();
  EXPECT_EQ(fails("plugin:store|get", {{"rid", b}, {"key", "int"}}),
            "store get: resource id " + b.dump() + " is not an open store");
}

TEST_F(TauriPlugins, LoadOptionsDecideBetweenFileAndDefaults) {
  // Name; file (nullptr: none yet); options; the store after load, and the file after a save.
  const json defaults = {{"a", 0}, {"b", 2}};
  const std::tuple<const char*, const char*, json, json> cases[] = {
      {"overrideDefaults takes the file alone",
       R"({"a":1})",
       {{"defaults", defaults}, {"overrideDefaults", true}, {"autoSave", false}},
       {{"a", 1}}},
      {"overrideDefaults without a file",
       nullptr,
       {{"defaults", defaults}, {"overrideDefaults", true}, {"autoSave", false}},
       defaults},
      {"createNew ignores the file",
       R"({"a":1,"c":3})",
       {{"defaults", {{"b", 2}}}, {"createNew", true}, {"autoSave", false}},
       {{"b", 2}}},
  };
  int n = 0;
  for (const auto& [name, file, options, expected] : cases) {
    const std::string rel = "case" + std::to_string(n++) + ".json";
    if (file) write_file((commands::app_dirs::app_data_dir() / rel).string(), file);
    json rid = load(rel, options);
    json entries = json::object();
    for (const auto& e : ok("plugin:store|entries", {{"rid", rid}})) entries[e[0]] = e[1];
    EXPECT_EQ(entries, expected) << name;
    ok("plugin:store|save", {{"rid", rid}});
    EXPECT_EQ(on_disk(rel), expected) << name;
    ok("plugin:store|set", {{"rid", rid}, {"key", "x"}, {"value", 1}});
    ok("plugin:store|reset", {{"rid", rid}});
    entries = json::object();
    for (const auto& e : ok("plugin:store|entries", {{"rid", rid}})) entries[e[0]] = e[1];
    EXPECT_EQ(entries, options["defaults"]) << name << ": reset restores the defaults";
  }
}

// Changes of an auto-saved store land after a quiet spell, or at the latest when it is closed or
// the application quits; without auto-save they stay in memory. (Change events are the page's.)
TEST_F(TauriPlugins, AutoSaveAndClosing) {
  json quick = load("quick.json", {{"autoSave", 30}});
  json slow = load("slow.json", {{"autoSave", 600000}});
  json manual = load("manual.json", {{"autoSave", false}});
  json closed = load("closed.json", {{"autoSave", 600000}});
  for (const json& rid : {quick, slow, manual, closed}) {
    ok("plugin:store|set", {{"rid", rid}, {"key", "k"}, {"value", "v"}});
  }
  ok("plugin:store|delete", {{"rid", quick}, {"key", "k"}});
  ok("plugin:store|set", {{"rid", quick}, {"key", "k2"}, {"value", 2}});
  EXPECT_TRUE(run_until([&] { return on_disk("quick.json") == json({{"k2", 2}}); }));
  EXPECT_TRUE(on_disk("slow.json").is_null());

  ok("plugin:resources|close", {{"rid", closed}});
  EXPECT_EQ(on_disk("closed.json"), json({{"k", "v"}}));
  EXPECT_EQ(fails("plugin:resources|close", {{"rid", closed}}),
            "resource id " + closed.dump() + " is invalid");

  lifecycle::run_will_terminate();
  EXPECT_EQ(on_disk("slow.json"), json({{"k", "v"}}));
  EXPECT_TRUE(on_disk("manual.json").is_null());
}

TEST_F(TauriPlugins, PageLoadClosesTheEarlierPagesStores) {
  json rid = load("page.json", {{"autoSave", 600000}});
  ok("plugin:store|set", {{"rid", rid}, {"key", "k"}, {"value", 1}});
  registry->on_page_load();
  EXPECT_EQ(on_disk("page.json"), json({{"k", 1}}));
  EXPECT_EQ(ok("plugin:store|get_store", {{"path", "page.json"}}), nullptr);
  fails("plugin:store|keys", {{"rid", rid}});
}

TEST_F(TauriPlugins, PathCommands) {
  const std::string h = home_.path();
  const std::string config = paths::config_home();
  write_file(config + "/user-dirs.dirs",
             "XDG_DESKTOP_DIR=\"$HOME/Desk top\"\nXDG_MUSIC_DIR=\"$HOME\"\n"
             "XDG_DOCUMENTS_DIR=\"/srv/docs\"\n");
  const std::string id = commands::app_dirs::identifier();
  // The command, its arguments and its answer (a string starting with "!": the failure message).
  const std::tuple<std::string, json, json> cases[] = {
      {"resolve_directory", {{"directory", 18}}, h + "/Desk top"},
      {"resolve_directory", {{"directory", 1}}, "!unknown path"},  // disabled: set to $HOME
      {"resolve_directory", {{"directory", 6}}, "/srv/docs"},
      {"resolve_directory", {{"directory", 99}}, "!unknown path"},
      {"resolve_directory", {{"directory", 17}}, paths::data_home() + "/" + id + "/logs"},
      {"resolve_directory",
       {{"directory", 13}, {"path", "a/./b.json"}},
       config + "/" + id + "/a/b.json"},
      {"resolve_directory",
       {{"directory", 13}, {"path", "a/../../x"}},
       "!cannot traverse directory, rewrite the path without the use of `../`"},
      {"resolve", {{"paths", {"/a", "b", "/c", "d/.."}}}, "/c"},
      {"normalize", {{"path", "a/./b/../c/"}}, "a/c"},
      {"normalize", {{"path", ""}}, "."},
      {"dirname", {{"path", "/path/to/somedir/"}}, "/path/to"},
      {"dirname", {{"path", "/"}}, "!path has no parent: /"},
      {"extname", {{"path", "/p/file.tar.gz"}}, "gz"},
      {"extname", {{"path", "/p/.bashrc"}}, "!path has no extension: /p/.bashrc"},
      {"basename", {{"path", "path/to/app.conf/"}}, "app.conf"},
      {"is_absolute", {{"path", "/home"}}, true},
      {"is_absolute", {{"path", "home"}}, false},
  };
  for (const auto& [cmd, args, expected] : cases) {
    EXPECT_EQ(answer("plugin:path|" + cmd, args), expected) << cmd << " " << args;
  }
}

}  // namespace
}  // namespace vessa::testing
