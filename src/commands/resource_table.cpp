// Objects the page holds by resource id.
#include "commands/resource_table.hpp"

#include <atomic>
#include <vector>

namespace vessa::commands {

int64_t ResourceTable::add(std::shared_ptr<PageResource> resource) {
  static std::atomic<int64_t> next{1};
  const int64_t rid = next++;
  std::scoped_lock lock(mutex_);
  items_.emplace(rid, std::move(resource));
  return rid;
}

std::shared_ptr<PageResource> ResourceTable::get(int64_t rid) const {
  std::scoped_lock lock(mutex_);
  auto it = items_.find(rid);
  return it == items_.end() ? nullptr : it->second;
}

std::optional<std::pair<int64_t, std::shared_ptr<PageResource>>> ResourceTable::find(
    const std::function<bool(const PageResource&)>& match) const {
  std::scoped_lock lock(mutex_);
  for (const auto& [rid, resource] : items_) {
    if (match(*resource)) return std::make_pair(rid, resource);
  }
  return std::nullopt;
}

bool ResourceTable::close(int64_t rid) {
  std::shared_ptr<PageResource> resource;
  {
    std::scoped_lock lock(mutex_);
    auto it = items_.find(rid);
    if (it == items_.end()) return false;
    resource = std::move(it->second);
    items_.erase(it);
  }
  // Outside the lock: closing may call back into the table.
  resource->close();
  return true;
}

void ResourceTable::clear() {
  std::map<int64_t, std::shared_ptr<PageResource>> items;
  {
    std::scoped_lock lock(mutex_);
    items.swap(items_);
  }
  for (auto& [rid, resource] : items) resource->close();
}

std::optional<int64_t> rid_arg(const json& args) {
  if (!args.is_object()) return std::nullopt;
  auto it = args.find("rid");
  if (it == args.end() || !it->is_number_integer()) return std::nullopt;
  return it->get<int64_t>();
}

}  // namespace vessa::commands
