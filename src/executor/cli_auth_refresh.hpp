// Telling a running executor that the coding CLIs' credentials changed.
#pragma once

#include <string>

namespace vessa::executor {

/// Asks a running executor to reload the coding CLIs' credentials: a POST sent from a pool
/// thread with a 3 s limit; returns at once and ignores the outcome.
void refreshCliAuth();

namespace detail {
/// The POST target of refreshCliAuth (tests point it at a local server; empty restores it).
void set_refresh_url_for_testing(const std::string& url);
}  // namespace detail

}  // namespace vessa::executor
