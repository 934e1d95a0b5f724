// The windowed application.
#pragma once

namespace vessa::app {

/// Runs the GTK application with the main window; returns the exit status.
int run_application(int argc, char** argv);

}  // namespace vessa::app
