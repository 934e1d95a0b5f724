// Owning holders for GLib objects, strings and values, and signal handlers tied to the lifetime
// of a handle, so nothing GLib hands out is released by hand.
#pragma once

#include <gio/gio.h>

#include <memory>
#include <type_traits>
#include <utility>

namespace vessa {

namespace glib_detail {

struct ObjectUnref {
  void operator()(gpointer object) const noexcept { g_object_unref(object); }
};
struct Free {
  void operator()(gpointer memory) const noexcept { g_free(memory); }
};
struct ErrorFree {
  void operator()(GError* error) const noexcept { g_error_free(error); }
};
struct VariantUnref {
  void operator()(GVariant* value) const noexcept { g_variant_unref(value); }
};
struct VariantIterFree {
  void operator()(GVariantIter* iter) const noexcept { g_variant_iter_free(iter); }
};
struct BytesUnref {
  void operator()(GBytes* bytes) const noexcept { g_bytes_unref(bytes); }
};
struct StrvFree {
  void operator()(gchar** strv) const noexcept { g_strfreev(strv); }
};
struct UriUnref {
  void operator()(GUri* uri) const noexcept { g_uri_unref(uri); }
};
struct MainLoopUnref {
  void operator()(GMainLoop* loop) const noexcept { g_main_loop_unref(loop); }
};

}  // namespace glib_detail

/// One reference to a GObject (of C type T), dropped with the holder. Takes over the reference
/// it is given: a "new" or "get_..._finish" result, or a floating one already sunk.
template <class T>
using GObjectPtr = std::unique_ptr<T, glib_detail::ObjectUnref>;
/// A string (or any block) from g_malloc, released with g_free.
using GCharPtr = std::unique_ptr<gchar, glib_detail::Free>;
using GErrorPtr = std::unique_ptr<GError, glib_detail::ErrorFree>;
/// One reference to a GVariant; sink a floating value first (g_variant_ref_sink).
using GVariantPtr = std::unique_ptr<GVariant, glib_detail::VariantUnref>;
using GVariantIterPtr = std::unique_ptr<GVariantIter, glib_detail::VariantIterFree>;
using GBytesPtr = std::unique_ptr<GBytes, glib_detail::BytesUnref>;
using GStrvPtr = std::unique_ptr<gchar*, glib_detail::StrvFree>;
using GUriPtr = std::unique_ptr<GUri, glib_detail::UriUnref>;
using GMainLoopPtr = std::unique_ptr<GMainLoop, glib_detail::MainLoopUnref>;

/// A new reference of our own to `object` (which stays the caller's).
template <class T>
GObjectPtr<T> g_object_ref_ptr(T* object) {
  return GObjectPtr<T>(object != nullptr ? static_cast<T*>(g_object_ref(object)) : nullptr);
}

/// A shared reference of our own to `object`, for callbacks that are copied (std::function).
template <class T>
std::shared_ptr<T> g_object_share(T* object) {
  return std::shared_ptr<T>(static_cast<T*>(g_object_ref(object)), glib_detail::ObjectUnref{});
}

/// Passes a holder to a C out-parameter (`GError**`, `gchar**`...): the holder takes whatever
/// the call stored when the full expression that made this ends, and is emptied if it stored
/// nothing. `f(..., out(error)); if (error) ...` Not for variadic calls (g_variant_get): a
/// class object cannot pass through "...".
template <class Holder>
class OutParam {
 public:
  explicit OutParam(Holder& holder) noexcept : holder_(holder) {}
  ~OutParam() { holder_.reset(raw_); }
  OutParam(const OutParam&) = delete;
  OutParam& operator=(const OutParam&) = delete;
  operator typename Holder::pointer *() noexcept { return &raw_; }  // NOLINT: the point of it

 private:
  Holder& holder_;
  typename Holder::pointer raw_ = nullptr;
};

template <class Holder>
OutParam<Holder> out(Holder& holder) noexcept {
  return OutParam<Holder>(holder);
}

/// A connected signal handler, disconnected when this goes (or at disconnect()), so a handler
/// never runs after the data it was given. It does not keep the instance alive: a handler whose
/// instance is gone already has nothing left to disconnect. Main thread, like the instance.
class SignalConnection {
 public:
  SignalConnection() noexcept { g_weak_ref_init(&instance_, nullptr); }
  SignalConnection(gpointer instance, gulong id) noexcept : id_(id) {
    g_weak_ref_init(&instance_, instance);
  }
  ~SignalConnection() {
    disconnect();
    g_weak_ref_clear(&instance_);
  }
  SignalConnection(SignalConnection&& other) noexcept : id_(std::exchange(other.id_, 0)) {
    auto* instance = static_cast<GObject*>(g_weak_ref_get(&other.instance_));
    g_weak_ref_init(&instance_, instance);
    g_weak_ref_set(&other.instance_, nullptr);
    if (instance != nullptr) g_object_unref(instance);
  }
  SignalConnection& operator=(SignalConnection&& other) noexcept {
    if (this != &other) {
      disconnect();
      auto* instance = static_cast<GObject*>(g_weak_ref_get(&other.instance_));
      g_weak_ref_set(&instance_, instance);
      g_weak_ref_set(&other.instance_, nullptr);
      if (instance != nullptr) g_object_unref(instance);
      id_ = std::exchange(other.id_, 0);
    }
    return *this;
  }
  SignalConnection(const SignalConnection&) = delete;
  SignalConnection& operator=(const SignalConnection&) = delete;

  /// Disconnects the handler now; nothing when it is gone already.
  void disconnect() noexcept {
    if (id_ == 0) return;
    if (auto* instance = static_cast<GObject*>(g_weak_ref_get(&instance_))) {
      // Disposing an object (gtk_window_destroy) drops its handlers while references remain.
      if (g_signal_handler_is_connected(instance, id_)) g_signal_handler_disconnect(instance, id_);
      g_object_unref(instance);
    }
    g_weak_ref_set(&instance_, nullptr);
    id_ = 0;
  }
  bool connected() const noexcept { return id_ != 0; }

 private:
  GWeakRef instance_{};
  gulong id_ = 0;
};

namespace glib_detail {

// The handler's C shape: (instance, the signal's parameters..., data). Checked against the
// signal itself in builds with checks, where a wrong count would read garbage off the stack.
template <class R, class... Params>
void check_handler(gpointer instance, const char* signal) {
#ifndef VESSA_NO_DEV_CHECKS
  guint id = 0;
  GQuark detail = 0;
  if (!g_signal_parse_name(signal, G_TYPE_FROM_INSTANCE(instance), &id, &detail, FALSE)) {
    g_error("no signal \"%s\" on %s", signal, G_OBJECT_TYPE_NAME(instance));
  }
  GSignalQuery query{};  // NOLINT(bugprone-invalid-enum-default-initialization): filled below
  g_signal_query(id, &query);
  // Params holds the signal's parameters and the data pointer.
  if (query.n_params + 1 != sizeof...(Params) ||
      (query.return_type == G_TYPE_NONE) != std::is_void_v<R>) {
    g_error("handler for \"%s\" on %s does not match the signal's parameters or return type",
            signal, G_OBJECT_TYPE_NAME(instance));
  }
#else
  (void)instance;
  (void)signal;
#endif
}

template <class... Ts>
struct Last;
template <class T>
struct Last<T> {
  using type = T;
};
template <class T, class... Ts>
struct Last<T, Ts...> : Last<Ts...> {};

// The data parameter is the untyped gpointer or exactly the pointer type passed.
template <class Data, class... Params>
inline constexpr bool kTakesData = sizeof...(Params) > 0 &&
                                   (std::is_same_v<typename Last<Params...>::type, gpointer> ||
                                    std::is_same_v<typename Last<Params...>::type, Data*>);

// C structs do not derive from their parent type, so a handler may name the instance by any
// pointer type (GtkWidget* for a GtkWindow's "map"); the signal check counts the rest.
template <class First>
inline constexpr bool kTakesInstance = std::is_pointer_v<First>;

}  // namespace glib_detail

/// Connects `callback(instance, params..., data)` to `signal` of `instance`; the handler ends
/// with the returned connection. The callback is a noexcept C function whose last parameter is
/// `data`'s own pointer type (or gpointer).
template <class Instance, class Data, class R, class First, class... Params>
[[nodiscard]] SignalConnection connect(Instance* instance, const char* signal,
                                       R (*callback)(First, Params...) noexcept, Data* data,
                                       GConnectFlags flags = static_cast<GConnectFlags>(0)) {
  static_assert(glib_detail::kTakesInstance<First>,
                "the handler's first parameter is the instance");
  static_assert(glib_detail::kTakesData<Data, Params...>,
                "the handler's last parameter is the data, typed as passed or as gpointer");
  glib_detail::check_handler<R, Params...>(instance, signal);
  // GLib hands the data back untouched; the handler's own type keeps it const.
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast)
  auto* user_data = const_cast<std::remove_const_t<Data>*>(data);
  const gulong id = g_signal_connect_data(instance, signal, reinterpret_cast<GCallback>(callback),
                                          user_data, nullptr, flags);
  return SignalConnection(instance, id);
}

/// Connects a handler for the whole life of `instance`, with no data (it gets null): nothing it
/// was given can go before it.
template <class Instance, class R, class First, class... Params>
void connect_for_life(Instance* instance, const char* signal,
                      R (*callback)(First, Params...) noexcept,
                      GConnectFlags flags = static_cast<GConnectFlags>(0)) {
  static_assert(glib_detail::kTakesInstance<First>,
                "the handler's first parameter is the instance");
  static_assert(glib_detail::kTakesData<void, Params...>,
                "the handler's last parameter is the (null) data as gpointer");
  glib_detail::check_handler<R, Params...>(instance, signal);
  g_signal_connect_data(instance, signal, reinterpret_cast<GCallback>(callback), nullptr, nullptr,
                        flags);
}

/// Connects a handler for the whole life of `instance` that owns its data: GLib deletes the data
/// when the handler goes with the instance.
template <class Instance, class Data, class R, class First, class... Params>
void connect_for_life(Instance* instance, const char* signal,
                      R (*callback)(First, Params...) noexcept, std::unique_ptr<Data> data,
                      GConnectFlags flags = static_cast<GConnectFlags>(0)) {
  static_assert(glib_detail::kTakesInstance<First>,
                "the handler's first parameter is the instance");
  static_assert(glib_detail::kTakesData<Data, Params...>,
                "the handler's last parameter is the data, typed as passed or as gpointer");
  glib_detail::check_handler<R, Params...>(instance, signal);
  g_signal_connect_data(
      instance, signal, reinterpret_cast<GCallback>(callback), data.release(),
      [](gpointer owned, GClosure*) { delete static_cast<Data*>(owned); }, flags);
}

}  // namespace vessa
