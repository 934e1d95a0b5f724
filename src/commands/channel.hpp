// The native end of the page's channels (the core package's Channel class): a command argument
// "__CHANNEL__:<id>" names a page callback that takes a stream of messages.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/json.hpp"

namespace vessa::commands {

/// Where channel messages go: the callback table of one page load (the bridge).
class CallbackSink {
 public:
  virtual ~CallbackSink() = default;
  /// Calls callback `id` of page load `page_load` with `payload`, in the order of the calls;
  /// dropped when that load has gone by the time it would arrive. Any thread.
  virtual void call_back(uint64_t page_load, int64_t id, json payload) = 0;
  /// False once page load `page_load` has been replaced by another. Any thread.
  virtual bool page_current(uint64_t page_load) const = 0;
};

/// The callback id in a channel argument ("__CHANNEL__:<id>"), or nullopt for anything else.
std::optional<int64_t> channel_id(const json& value);

/// Sends to one page channel: {index, message} for each message, indexes from 0, then
/// {index, end: true} once. Copies share the one stream. Nothing is sent once the channel has
/// ended or its page load has gone. Any thread.
class ChannelSender {
 public:
  ChannelSender(std::weak_ptr<CallbackSink> sink, uint64_t page_load, int64_t id);

  int64_t id() const { return id_; }
  /// Sends `message`; false when it was not sent (ended, or the page is gone).
  bool send(json message);
  /// Ends the stream; the page's Channel then lets go of its callback. Later calls do nothing.
  void end();
  /// False once ended or once the page load has gone.
  bool open() const;

 private:
  struct Stream {
    std::mutex mutex;  // held while handing a message on, so indexes arrive in order
    int64_t next = 0;
    bool ended = false;
  };
  std::weak_ptr<CallbackSink> sink_;
  uint64_t page_load_;
  int64_t id_;
  std::shared_ptr<Stream> stream_;
};

/// The channels the page registered for a plug-in's events ("plugin:<name>|register_listener"),
/// by plug-in and event name. Any thread.
class PluginListeners {
 public:
  void add(const std::string& plugin, const std::string& event, ChannelSender sender);
  /// Ends and forgets the channel `id` of the event; false when there was none.
  bool remove(const std::string& plugin, const std::string& event, int64_t id);
  /// Sends `message` to every open channel of the event.
  void send(const std::string& plugin, const std::string& event, const json& message);
  /// Forgets every channel (a new page load: their page is gone).
  void clear();

 private:
  std::mutex mutex_;
  std::map<std::pair<std::string, std::string>, std::vector<ChannelSender>> channels_;
};

}  // namespace vessa::commands
