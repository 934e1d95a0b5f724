// The windowed application.
#include "app/application.hpp"

#include <cstdio>

namespace vessa::app {

int run_application(int /*argc*/, char** /*argv*/) {
  std::fprintf(stderr, "vessa: the application window is not built yet; use --invoke\n");
  return 1;
}

}  // namespace vessa::app
