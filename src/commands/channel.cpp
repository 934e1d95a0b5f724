// The native end of the page's channels.
#include "commands/channel.hpp"

#include <algorithm>
#include <charconv>
#include <string_view>

namespace vessa::commands {

std::optional<int64_t> channel_id(const json& value) {
  static constexpr std::string_view kPrefix = "__CHANNEL__:";
  if (!value.is_string()) return std::nullopt;
  const auto& text = value.get_ref<const std::string&>();
  if (!text.starts_with(kPrefix) || text.size() == kPrefix.size()) return std::nullopt;
  int64_t id = 0;
  const char* first = text.data() + kPrefix.size();
  const char* last = text.data() + text.size();
  auto [end, error] = std::from_chars(first, last, id);
  if (error != std::errc() || end != last || id < 0) return std::nullopt;
  return id;
}

ChannelSender::ChannelSender(std::weak_ptr<CallbackSink> sink, uint64_t page_load, int64_t id)
    : sink_(std::move(sink)), page_load_(page_load), id_(id), stream_(std::make_shared<Stream>()) {}

bool ChannelSender::send(json message) {
  std::scoped_lock lock(stream_->mutex);
  auto sink = sink_.lock();
  if (stream_->ended || !sink || !sink->page_current(page_load_)) return false;
  sink->call_back(page_load_, id_,
                  json{{"index", stream_->next++}, {"message", std::move(message)}});
  return true;
}

void ChannelSender::end() {
  std::scoped_lock lock(stream_->mutex);
  if (stream_->ended) return;
  stream_->ended = true;
  auto sink = sink_.lock();
  if (sink && sink->page_current(page_load_)) {
    sink->call_back(page_load_, id_, json{{"index", stream_->next}, {"end", true}});
  }
}

bool ChannelSender::open() const {
  std::scoped_lock lock(stream_->mutex);
  auto sink = sink_.lock();
  return !stream_->ended && sink && sink->page_current(page_load_);
}

void PluginListeners::add(const std::string& plugin, const std::string& event,
                          ChannelSender sender) {
  std::scoped_lock lock(mutex_);
  channels_[{plugin, event}].push_back(std::move(sender));
}

bool PluginListeners::remove(const std::string& plugin, const std::string& event, int64_t id) {
  std::vector<ChannelSender> removed;
  {
    std::scoped_lock lock(mutex_);
    auto it = channels_.find({plugin, event});
    if (it == channels_.end()) return false;
    auto& list = it->second;
    // clang 14 (the fuzz build) cannot compile libstdc++ 12's ranges::subrange.
    // NOLINTNEXTLINE(modernize-use-ranges)
    auto split = std::stable_partition(list.begin(), list.end(),
                                       [id](const ChannelSender& c) { return c.id() != id; });
    removed.assign(split, list.end());
    list.erase(split, list.end());
  }
  for (auto& sender : removed) sender.end();
  return !removed.empty();
}

void PluginListeners::send(const std::string& plugin, const std::string& event,
                           const json& message) {
  std::vector<ChannelSender> targets;
  {
    std::scoped_lock lock(mutex_);
    auto it = channels_.find({plugin, event});
    if (it == channels_.end()) return;
    // Channels whose page has gone are let go on the way.
    std::erase_if(it->second, [](const ChannelSender& c) { return !c.open(); });
    targets = it->second;
  }
  for (auto& sender : targets) sender.send(message);
}

void PluginListeners::clear() {
  std::scoped_lock lock(mutex_);
  channels_.clear();
}

}  // namespace vessa::commands
