// The updater's prompts and the one-day snooze.
#include <chrono>
#include <memory>
#include <mutex>

#include "platform/services.hpp"
#include "support/dispatch.hpp"
#include "support/log.hpp"
#include "updater/update_checker.hpp"

namespace vessa::updater {
namespace {

constexpr double kSnoozeSeconds = 86400;
constexpr std::chrono::milliseconds kFirstTry{1200};
constexpr std::chrono::milliseconds kRetry{300};
constexpr int kAttempts = 10;

std::mutex& terminate_mutex() {
  static std::mutex m;
  return m;
}
std::function<void()>& terminate_handler() {
  static std::function<void()> h;
  return h;
}

double now_seconds() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

void write_snooze() {
  if (auto defaults = platform::services().user_defaults) {
    defaults->set(kSnoozeKey, now_seconds() + kSnoozeSeconds);
  }
}

bool snoozed() {
  auto defaults = platform::services().user_defaults;
  if (!defaults) return false;
  auto until = defaults->get(kSnoozeKey);
  return until && until->is_number() && until->get<double>() > now_seconds();
}

std::string with_notes(std::string text, const std::optional<std::string>& notes) {
  if (notes && !notes->empty()) text += "\n\n" + *notes;
  return text;
}

// Without an alert service (headless runs) nothing is shown and nothing is answered.
void show(const platform::Alert& alert, std::function<void(int)> done = {}) {
  if (auto alerts = platform::services().alerts) alerts->show(alert, std::move(done));
}

void try_present(const std::shared_ptr<std::function<void()>>& block, int attempts_left) {
  auto alerts = platform::services().alerts;
  if ((alerts && alerts->ready_to_present()) || attempts_left <= 0) {
    (*block)();
    return;
  }
  dispatch::main_after(kRetry, [block, attempts_left] { try_present(block, attempts_left - 1); });
}

}  // namespace

void UpdateChecker::set_terminate_handler(std::function<void()> handler) {
  std::scoped_lock lock(terminate_mutex());
  terminate_handler() = std::move(handler);
}

void UpdateChecker::presentAfterLaunch(std::function<void()> block) {
  auto shared = std::make_shared<std::function<void()>>(std::move(block));
  dispatch::main_after(kFirstTry, [shared] { try_present(shared, kAttempts); });
}

void UpdateChecker::presentUpToDate(const std::string& version) {
  vessa::log("Vessa " + version + " is the latest version.");
  show({platform::AlertStyle::kInformational,
        "You're up to date",
        "Vessa " + version + " is the latest version.",
        {"OK"}});
}

void UpdateChecker::present_check_error(const std::string& description) {
  show({platform::AlertStyle::kWarning, "Couldn't check for updates", description, {"OK"}});
}

void UpdateChecker::presentReady(const std::string& remote, const std::string& local,
                                 const std::optional<std::string>& notes,
                                 const std::filesystem::path& appURL, bool ignoreSnooze) {
  if (!ignoreSnooze && snoozed()) {
    vessa::log("update " + remote + " ready; prompt snoozed \u2014 will install on quit");
    return;
  }
  platform::Alert alert{platform::AlertStyle::kInformational,
                        "Vessa " + remote + " is ready to install",
                        with_notes("Downloaded and verified in the background (you have " + local +
                                       "). Restart to finish \u2014 takes a few seconds.",
                                   notes),
                        {"Restart Now", "Later"}};
  show(alert, [remote, appURL](int button) {
    if (button == 0) {
      installOnExit(appURL, true);
      // The quit observer must not install a second time.
      state().preparedAppURL.reset();
      std::function<void()> quit;
      {
        std::scoped_lock lock(terminate_mutex());
        quit = terminate_handler();
      }
      if (quit) quit();
      return;
    }
    write_snooze();
    vessa::log("update " + remote + " staged \u2014 installing on next quit");
  });
}

void UpdateChecker::presentDownloading(const std::string& remote) {
  show({platform::AlertStyle::kInformational,
        "Downloading Vessa " + remote,
        "The update is downloading in the background. You'll be asked to restart when "
        "it's ready.",
        {"OK"}});
}

void UpdateChecker::presentBrowserFallback(const std::string& remote, const std::string& local,
                                           const std::optional<std::string>& notes,
                                           const std::string& url, InstallFormat format,
                                           bool ignoreSnooze) {
  if (!ignoreSnooze && snoozed()) {
    vessa::log("update " + remote + " available; prompt snoozed");
    return;
  }
  // A package is updated through the package manager, not by replacing the folder.
  const std::string how = format == InstallFormat::kArchive
                              ? ". Download the new build, open the archive, and replace Vessa "
                                "in your Vessa folder."
                              : ". Download the new package and install it with your package "
                                "manager.";
  platform::Alert alert{platform::AlertStyle::kInformational,
                        "Vessa " + remote + " is available",
                        with_notes("You have " + local + how, notes),
                        {"Download", "Later"}};
  show(alert, [url](int button) {
    if (button != 0) {
      // "Later", or closed without an answer.
      write_snooze();
      return;
    }
    if (auto opener = platform::services().url_opener) opener->open_uri(url);
  });
}

}  // namespace vessa::updater
