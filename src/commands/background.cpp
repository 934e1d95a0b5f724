// Moving a command's slow part to the pool so that it answers exactly once, whatever it does.
#include "commands/background.hpp"

#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "support/dispatch.hpp"
#include "support/log.hpp"

namespace vessa::commands::background {
namespace {

std::mutex& fault_mutex() {
  static std::mutex m;
  return m;
}
std::optional<std::string>& pending_fault() {
  static std::optional<std::string> fault;
  return fault;
}

void maybe_throw_injected_fault() {
  std::optional<std::string> fault;
  {
    std::scoped_lock lock(fault_mutex());
    fault.swap(pending_fault());
  }
  if (fault) throw std::runtime_error(*fault);
}

// Calls `attempt` and turns whatever it throws into the command's internal-error failure.
std::optional<CommandResult> catching(const std::string& cmd,
                                      const std::function<void()>& attempt) {
  try {
    attempt();
    return std::nullopt;
  } catch (const std::exception& e) {
    return internal_error(cmd, e.what());
  } catch (...) {
    return internal_error(cmd);
  }
}

// The one answer of a run_answering() job. Whoever answers first wins; when the last
// completion handed to the work goes away unanswered, the command still gets its failure.
class Answer {
 public:
  Answer(std::string cmd, Completion done) : cmd_(std::move(cmd)), done_(std::move(done)) {}
  Answer(const Answer&) = delete;
  Answer& operator=(const Answer&) = delete;
  ~Answer() {
    if (answered_.load()) return;
    // A destructor must not throw; the completion reaches the page through the main queue.
    try {
      done_(internal_error(cmd_, "the command ended without an answer"));
    } catch (...) {
      vessa::log(cmd_ + ": the failure could not be delivered");
    }
  }

  void give(CommandResult result) {
    if (answered_.exchange(true)) return;
    done_(std::move(result));
  }

 private:
  std::string cmd_;
  Completion done_;
  std::atomic<bool> answered_{false};
};

}  // namespace

CommandResult internal_error(const std::string& cmd, const std::string& what) {
  std::string message = cmd + ": internal error";
  if (!what.empty()) message += ": " + what;
  vessa::log(message);
  return CommandResult::failure(std::move(message));
}

void run(const std::string& cmd, Completion done, Work work) {
  dispatch::global_async([cmd, done = std::move(done), work = std::move(work)] {
    std::optional<CommandResult> result;
    auto failure = catching(cmd, [&] {
      maybe_throw_injected_fault();
      result = work();
    });
    // Answered outside the catch: a throwing completion must not be answered a second time.
    done(failure ? std::move(*failure) : std::move(*result));
  });
}

void run_answering(const std::string& cmd, Completion done, AnsweringWork work) {
  auto answer = std::make_shared<Answer>(cmd, std::move(done));
  dispatch::global_async([cmd, answer = std::move(answer), work = std::move(work)]() mutable {
    Completion reply = [answer](CommandResult r) { answer->give(std::move(r)); };
    auto failure = catching(cmd, [&] {
      maybe_throw_injected_fault();
      work(reply);
    });
    if (failure) answer->give(std::move(*failure));
    // From here only copies the work kept can still answer.
    reply = nullptr;
    answer.reset();
  });
}

void throw_in_next_job_for_testing(const std::string& what) {
  std::scoped_lock lock(fault_mutex());
  pending_fault() = what;
}

}  // namespace vessa::commands::background
