// Keeps exactly one healthy executor sidecar listening on 127.0.0.1:3212 while the shell runs.
#include "executor/executor_supervisor.hpp"

namespace vessa {

// Not built yet: every ensure reports that there is no executor to start.
std::shared_ptr<ExecutorSupervisor> ExecutorSupervisor::create() {
  return std::shared_ptr<ExecutorSupervisor>(new ExecutorSupervisor());
}

void ExecutorSupervisor::set_emit(EmitFn /*emit*/) {}

void ExecutorSupervisor::ensureRunning(bool /*force*/, EnsureCompletion completion) {
  if (completion) completion("error", std::string("executor binary not found"));
}

void ExecutorSupervisor::stop() {}

}  // namespace vessa
