// The terminal side of `korvane-helperctl top`: raw mode, the screen, keys,
// signals and the refresh timer around the pure TopView.
#pragma once

#include <string>

#include "client/helper_client.h"
#include "client/top.h"

namespace client {

// Runs the live view on the terminal of standard input and output until q,
// Ctrl-C or a terminating signal (SIGINT, SIGTERM, SIGHUP, SIGQUIT); the
// terminal is restored on every way out. Returns 0 after q or Ctrl-C,
// 128 + the signal after a signal; kExitUsage with *error when standard
// input or output is not a terminal; kExitUnavailable with *error when a
// call to the helper failed. Call from the main thread only: it installs
// signal handlers for its duration.
int runTop(HelperClient& helper, TopSort sort, double intervalSeconds, std::string* error);

}  // namespace client
