// The main window's remembered size, maximized state and position across launches.
#include "commands/window_state.hpp"

#include "commands/app_dirs.hpp"
#include "support/fs.hpp"
#include "support/json.hpp"

namespace vessa::commands::window_state {
namespace {

constexpr const char* kLabel = "main";
// Larger than any screen: a value past it is a damaged file, not a size.
constexpr int kMaxExtent = 1 << 15;

std::optional<int> int_in(const json& entry, const char* key, int low, int high) {
  auto value = number_arg(entry, key);
  if (!value || *value < low || *value > high) return std::nullopt;
  return static_cast<int>(*value);
}

}  // namespace

std::filesystem::path file_path() {
  auto dir = app_dirs::base_dir(static_cast<int>(app_dirs::Base::kAppConfig));
  return (dir ? *dir : std::filesystem::path(".")) / kFileName;
}

tl::expected<void, std::string> save(platform::MainWindow& window, unsigned flags) {
  if (!window.exists()) return tl::unexpected(std::string("no window"));
  const std::string path = file_path().string();
  // Other windows' entries, and what `flags` leaves out, stay as they were.
  json all = load_json_file(path).value_or(json::object());
  if (!all.is_object()) all = json::object();
  json& entry = all[kLabel];
  if (!entry.is_object()) entry = json::object();
  if (flags & kSize) {
    if (auto size = window.normal_size()) {
      entry["width"] = size->width;
      entry["height"] = size->height;
    }
  }
  if (flags & kMaximized) entry["maximized"] = window.is_maximized();
  if (flags & kPosition) {
    if (auto where = window.outer_position(); where && !window.is_maximized()) {
      entry["x"] = where->x;
      entry["y"] = where->y;
    }
  }
  if (!fs::create_directories(file_path().parent_path().string(), 0700)) {
    return tl::unexpected("cannot create " + file_path().parent_path().string());
  }
  return fs::atomic_write(path, all.dump(2) + "\n");
}

bool restore(platform::MainWindow& window, unsigned flags) {
  auto all = load_json_file(file_path().string());
  if (!all || !all->is_object() || !all->contains(kLabel)) return false;
  const json& entry = (*all)[kLabel];
  bool applied = false;
  if (flags & kSize) {
    auto width = int_in(entry, "width", 1, kMaxExtent);
    auto height = int_in(entry, "height", 1, kMaxExtent);
    if (width && height) {
      window.set_normal_size({*width, *height});
      applied = true;
    }
  }
  if (flags & kPosition) {
    auto x = int_in(entry, "x", -kMaxExtent, kMaxExtent);
    auto y = int_in(entry, "y", -kMaxExtent, kMaxExtent);
    if (x && y) applied = window.move_to({*x, *y}) || applied;
  }
  if (flags & kMaximized) {
    if (auto zoomed = bool_arg(entry, "maximized")) {
      if (*zoomed != window.is_maximized()) {
        if (*zoomed) {
          window.maximize();
        } else {
          window.unmaximize();
        }
      }
      applied = true;
    }
  }
  return applied;
}

}  // namespace vessa::commands::window_state
