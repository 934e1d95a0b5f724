// Objects the page holds by number (a resource id, "rid") for as long as its page load lives.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "support/json.hpp"

namespace vessa::commands {

/// One thing the page holds by id.
class PageResource {
 public:
  virtual ~PageResource() = default;
  /// Lets go of what the resource holds; called once, when the page closes it, when its page
  /// load ends or when the application quits. Main thread.
  virtual void close() {}
};

/// The resources of one page load. Ids start at 1 and are never reused in this process, so an
/// id kept by an earlier page never reaches a later page's resource. Any thread.
class ResourceTable {
 public:
  int64_t add(std::shared_ptr<PageResource> resource);
  std::shared_ptr<PageResource> get(int64_t rid) const;
  template <class T>
  std::shared_ptr<T> get_as(int64_t rid) const {
    return std::dynamic_pointer_cast<T>(get(rid));
  }
  /// The first resource for which `match` holds, with its id.
  std::optional<std::pair<int64_t, std::shared_ptr<PageResource>>> find(
      const std::function<bool(const PageResource&)>& match) const;
  /// Removes and closes `rid`; false when there is no such resource.
  bool close(int64_t rid);
  /// Closes every resource (a new page load, or quitting).
  void clear();

 private:
  mutable std::mutex mutex_;
  std::map<int64_t, std::shared_ptr<PageResource>> items_;
};

/// The "rid" argument when it is an integer number.
std::optional<int64_t> rid_arg(const json& args);

}  // namespace vessa::commands
