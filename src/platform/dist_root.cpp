// Finding the folder of front-end files that the content scheme serves.
#include "platform/dist_root.hpp"

#include <cstdlib>
#include <string_view>

#include "support/paths.hpp"

namespace vessa::platform {
namespace {

namespace stdfs = std::filesystem;

bool holds_index(const stdfs::path& folder) {
  std::error_code ec;
  return stdfs::is_regular_file(folder / "index.html", ec);
}

}  // namespace

stdfs::path resolveDistRoot(const DistRootInputs& in) {
  if (in.bundle_resources && holds_index(*in.bundle_resources / "web")) {
    return *in.bundle_resources / "web";
  }
  stdfs::path folder = in.executable.parent_path();
  for (int i = 0; i < 8 && !folder.empty(); ++i) {
    stdfs::path dist = folder / "apps" / "web" / "dist";
    if (holds_index(dist)) return dist;
    if (folder == folder.parent_path()) break;
    folder = folder.parent_path();
  }
  if (in.web_dist_env) return {*in.web_dist_env};
  return in.cwd / "apps" / "web" / "dist";
}

DistRootInputs current_dist_root_inputs(const char* argv0) {
  DistRootInputs in;
  in.bundle_resources = paths::bundle_resources_dir();
  std::error_code ec;
  in.cwd = stdfs::current_path(ec);
  std::string_view arg = argv0 ? argv0 : "";
  if (arg.find('/') != std::string_view::npos) {
    in.executable = stdfs::absolute(stdfs::path(arg), ec);
  } else {
    in.executable = paths::executable_path();
  }
  if (const char* env = std::getenv("VESSA_WEB_DIST")) in.web_dist_env = std::string(env);
  return in;
}

}  // namespace vessa::platform
