// `cmake --install` into a temporary prefix whose name a desktop launcher treats specially: the
// installed bundle is the built one, file for file, and the command on PATH and the desktop
// entry lead to it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fixtures/temp_home.hpp"
#include "support/fs.hpp"
#include "support/lines.hpp"
#include "support/subprocess.hpp"

namespace vessa::testing {
namespace {

namespace stdfs = std::filesystem;

// The cmake that configured this build (ctest may run with another one first on PATH).
std::string cmake_command() {
  for (const auto& line :
       split_lines(fs::read_file(std::string(VESSA_BINARY_DIR) + "/CMakeCache.txt").value_or(""))) {
    const std::string key = "CMAKE_COMMAND:INTERNAL=";
    if (line.rfind(key, 0) == 0) return line.substr(key.size());
  }
  return "cmake";
}

// Relative path → kind, permission bits and content (link target for links).
std::map<std::string, std::string> describe_tree(const stdfs::path& root) {
  std::map<std::string, std::string> tree;
  for (auto it = stdfs::recursive_directory_iterator(root); it != stdfs::end(it); ++it) {
    const auto& p = it->path();
    const auto st = stdfs::symlink_status(p);
    const unsigned x = static_cast<unsigned>(st.permissions()) & 0111u;
    tree[stdfs::relative(p, root).string()] =
        stdfs::is_symlink(st)     ? "link " + stdfs::read_symlink(p).string()
        : stdfs::is_directory(st) ? "dir"
                                  : "file x=" + std::to_string(x) + " " +
                                        fs::read_file(p.string()).value_or("<unreadable>");
  }
  return tree;
}

std::map<std::string, std::string> desktop_entry(const std::string& text) {
  std::map<std::string, std::string> keys;
  for (const auto& line : split_lines(text)) {
    auto eq = line.find('=');
    if (eq != std::string::npos) keys[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return keys;
}

// Undoes the desktop-entry string escapes (\\ \s \n \t \r).
std::string unescape_value(const std::string& v) {
  std::string out;
  for (size_t i = 0; i < v.size(); ++i) {
    char c = v[i];
    if (c == '\\' && i + 1 < v.size()) {
      c = v[++i];
      c = c == 's' ? ' ' : c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
    }
    out += c;
  }
  return out;
}

// The program of an Exec line whose first argument is quoted, as a launcher reads it.
std::string exec_program(const std::string& exec_value) {
  std::string v = unescape_value(exec_value);
  if (v.empty() || v[0] != '"') return v.substr(0, v.find(' '));
  std::string out;
  for (size_t i = 1; i < v.size() && v[i] != '"'; ++i) {
    if (v[i] == '\\' && i + 1 < v.size()) ++i;
    if (v[i] == '%' && i + 1 < v.size() && v[i + 1] == '%') ++i;
    out += v[i];
  }
  return out;
}

TEST(Install, TreeMatchesTheBuildAndTheDesktopEntryLeadsToIt) {
  TempHome scratch;
  // Characters a desktop launcher treats specially must survive into Exec.
  const stdfs::path prefix = stdfs::path(scratch.path()) / "opt dir$x%y";
  proc::Options install;
  install.argv = {cmake_command(), "--install", VESSA_BINARY_DIR, "--prefix", prefix.string()};
  proc::RunOptions limit;
  limit.timeout = std::chrono::seconds(150);
  auto installed = proc::run(install, limit);
  ASSERT_TRUE(installed.has_value()) << installed.error();
  ASSERT_TRUE(installed->status.success()) << installed->out << installed->err;

  const stdfs::path bundle = prefix / "lib/vessa/Vessa.app";
  auto built_tree = describe_tree(VESSA_BUNDLE);
  auto installed_tree = describe_tree(bundle);
  EXPECT_TRUE(built_tree.count("Info.json") && built_tree.count("bin/vessa") &&
              built_tree.count("Resources/web/index.html"));
  EXPECT_EQ(installed_tree.size(), built_tree.size());
  std::set<std::string> paths;  // of either tree; a path missing from one describes as ""
  for (const auto* tree : {&built_tree, &installed_tree}) {
    for (const auto& entry : *tree) paths.insert(entry.first);
  }
  for (const auto& rel : paths) {
    EXPECT_TRUE(built_tree[rel] == installed_tree[rel])
        << rel << ": built \"" << built_tree[rel].substr(0, 12) << "\", installed \""
        << installed_tree[rel].substr(0, 12) << "\"";
  }

  const stdfs::path command = prefix / "bin/vessa";
  ASSERT_TRUE(stdfs::is_symlink(command));
  EXPECT_EQ(stdfs::read_symlink(command), "../lib/vessa/Vessa.app/bin/vessa");
  EXPECT_TRUE(stdfs::equivalent(command, bundle / "bin/vessa"));

  const std::string entry_file = prefix / "share/applications/app.vessa.desktop.desktop";
  auto entry = desktop_entry(fs::read_file(entry_file).value_or(""));
  EXPECT_EQ(entry["Type"], "Application");
  EXPECT_EQ(exec_program(entry["Exec"]), (bundle / "bin/vessa").string()) << entry["Exec"];
  EXPECT_EQ(unescape_value(entry["TryExec"]), (bundle / "bin/vessa").string());
  EXPECT_TRUE(entry["Exec"].ends_with("\" %u")) << entry["Exec"];
  // The desktop's validator accepts the entry with the escaped path (the packages' icons,
  // metainfo and self-test from the installed tree are checked by scripts/package-check).
  proc::Options validate;
  validate.argv = {"desktop-file-validate", entry_file};
  auto checked = proc::run(validate, limit);
  ASSERT_TRUE(checked.has_value()) << "desktop-file-validate is not installed (scripts/bootstrap)";
  EXPECT_TRUE(checked->status.success()) << checked->out << checked->err;
}

}  // namespace
}  // namespace vessa::testing
