// A registry the way the application owns it, with short checks on what its commands answer.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "commands/command_registry.hpp"
#include "fixtures/helpers.hpp"
#include "fixtures/temp_home.hpp"

namespace vessa::testing {

struct Commands {
  /// Without `app` the registry has no application, as after it has gone.
  explicit Commands(std::shared_ptr<commands::AppContext> app = nullptr)
      : registry(
            std::make_shared<commands::CommandRegistry>(std::weak_ptr<commands::AppContext>(app))) {
  }

  commands::CommandResult run(const std::string& cmd, const json& args = json::object(),
                              std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    return dispatch_and_wait(*registry, cmd, args, timeout);
  }
  /// Expects success and gives the value.
  json ok(const std::string& cmd, const json& args = json::object()) {
    commands::CommandResult r = run(cmd, args);
    EXPECT_TRUE(r.ok()) << cmd << " " << args << ": " << r.error();
    return r.value();
  }
  /// Expects failure and gives the message.
  std::string fails(const std::string& cmd, const json& args = json::object()) {
    commands::CommandResult r = run(cmd, args);
    EXPECT_FALSE(r.ok()) << cmd << " " << args << " gave " << r.value();
    return r.error();
  }
  /// The value, or "!" and the message of a failure: one comparable answer for tables.
  json answer(const std::string& cmd, const json& args = json::object()) {
    commands::CommandResult r = run(cmd, args);
    return r.ok() ? r.value() : json("!" + r.error());
  }

  std::shared_ptr<commands::CommandRegistry> registry;
};

/// The parts a fixture that is also `Commands` makes before its registry (which keeps the home
/// it started in): a fresh home and the application.
template <class App>
struct HomeAndApp {
  TempHome home_;
  std::shared_ptr<App> app_ = std::make_shared<App>();
};

}  // namespace vessa::testing
