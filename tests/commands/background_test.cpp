// Background jobs answer exactly once, whatever their work does with its completion.
#include "commands/background.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include "fixtures/temp_home.hpp"
#include "support/dispatch.hpp"

namespace vessa::commands {
namespace {

TEST(Background, AnsweringWorkSettlesOnceWithItsFirstAnswerOrTheInternalError) {
  vessa::testing::TempHome home;
  struct Row {
    const char* name;
    background::AnsweringWork work;
    CommandResult expected;
  };
  const Row rows[] = {
      {"throws", [](const Completion&) { throw std::runtime_error("boom"); },
       CommandResult::failure("cmd: internal error: boom")},
      {"throws a non-exception", [](const Completion&) { throw 42; },
       CommandResult::failure("cmd: internal error")},
      {"returns without answering", [](const Completion&) {},
       CommandResult::failure("cmd: internal error: the command ended without an answer")},
      {"answers twice, then throws",
       [](const Completion& reply) {
         reply(CommandResult::success(1));
         reply(CommandResult::success(2));
         throw std::runtime_error("late");
       },
       CommandResult::success(1)},
      // A kept completion is no dropped one: the answer may come after the work returned.
      {"answers later from another thread",
       [](const Completion& reply) {
         dispatch::global_async([reply] {
           std::this_thread::sleep_for(std::chrono::milliseconds(50));
           reply(CommandResult::success("late"));
         });
       },
       CommandResult::success("late")},
  };
  for (const auto& row : rows) {
    auto calls = std::make_shared<std::atomic<int>>(0);
    auto first = std::make_shared<std::promise<CommandResult>>();
    background::run_answering(
        "cmd",
        [calls, first](CommandResult r) {
          if (calls->fetch_add(1) == 0) first->set_value(std::move(r));
        },
        row.work);
    auto future = first->get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(5)), std::future_status::ready) << row.name;
    CommandResult got = future.get();
    EXPECT_EQ(got.ok(), row.expected.ok()) << row.name;
    EXPECT_EQ(got.value(), row.expected.value()) << row.name;
    EXPECT_EQ(got.error(), row.expected.error()) << row.name;
    // A second answer would follow at once; give it the chance to show.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(calls->load(), 1) << row.name;
  }
}

}  // namespace
}  // namespace vessa::commands
