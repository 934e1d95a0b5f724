// The application delegate: the main window, the menu, the executor supervisor and quitting.
#pragma once

#include <gtk/gtk.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/deferred_launch.hpp"
#include "app/web_view_host.hpp"
#include "commands/app_context.hpp"
#include "commands/deep_link.hpp"
#include "support/glib_ptr.hpp"

namespace vessa::app {

class AppDelegate : public commands::AppContext, public std::enable_shared_from_this<AppDelegate> {
 public:
  static constexpr int kWidth = 1400;
  static constexpr int kHeight = 900;
  static constexpr int kMinWidth = 900;
  static constexpr int kMinHeight = 600;
  /// The executor ensure and the update check wait for the first finished page load, at most
  /// this long.
  static constexpr std::chrono::milliseconds kLaunchStepsLimit{10000};
  /// Frames drawn after the first finished load before they start.
  static constexpr int kLaunchStepsFrames = 2;

  /// Creates the delegate (and its executor supervisor) for `app`. Main thread.
  static std::shared_ptr<AppDelegate> create(GtkApplication* app, WebViewHost::Options options);
  ~AppDelegate() override;
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  /// The launch steps, once: window, web view, menu, executor events, executor, update check.
  void did_finish_launching();
  /// The main window became active: make sure the executor runs.
  void did_become_active();
  /// Once, at quit (whichever way it came): stop the executor, run the will-terminate hooks,
  /// end any open page panel as cancelled, take the windows down.
  void will_terminate();
  /// "Name This Computer…": shows the front end's device view.
  void open_device_naming() const;
  /// Links of our scheme handed to this instance (at launch or by a later launch): they reach
  /// the page as "deep-link://new-url" now, or once its load has finished. Main thread.
  void open_links(const std::vector<std::string>& links);

  // AppContext
  void emit(const std::string& event, const json& payload) override;
  std::shared_ptr<executor::ExecutorSupervisor> executor() override { return executor_; }
  void quit() override;
  void check_for_updates() override;

  GtkWindow* window() const { return window_.get(); }
  std::shared_ptr<WebViewHost> web_controller() const;

 private:
  AppDelegate(GtkApplication* app, WebViewHost::Options options);
  void build_menu();
  bool page_ready() const;

  GtkApplication* app_;
  WebViewHost::Options options_;
  std::shared_ptr<executor::ExecutorSupervisor> executor_;
  GObjectPtr<GtkWindow> window_;  // a reference of our own, from launch until will_terminate
  bool launched_ = false;
  // The executor ensure and the update check of the launch, held until the first page load.
  std::shared_ptr<DeferredLaunch> launch_steps_;
  bool terminated_ = false;
  bool page_loaded_ = false;  // a page load has finished
  commands::deep_link::Inbox links_;
  mutable std::mutex controller_mutex_;  // emit() reads the controller from any thread
  std::shared_ptr<WebViewHost> web_controller_;
  std::vector<SignalConnection> window_signals_;  // this object's handlers on window_
};

}  // namespace vessa::app
