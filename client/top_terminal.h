// The terminal side of `korvane-helperctl top`: raw mode, the screen, keys,
// signals and the refresh timer around the pure TopView.
#pragma once

#include <string>

#include "client/helper_client.h"
#include "client/top.h"

namespace korvane {

// Runs the live view on the terminal of standard input and output until q,
// Ctrl-C or a terminating signal (SIGINT, SIGTERM, SIGHUP, SIGQUIT); the
// terminal is restored on every way out. With `agentRunning` (a polkit agent
// may prompt on this terminal) the terminal is given back to it while a
// request is in flight: the normal screen for a signal, cooked input on the
// view's screen for a listing. Returns 0 after q or Ctrl-C, 128 + the signal
// after a signal; kExitUsage with *error when standard input or output is
// not a terminal; callFailureStatus() with callAdvice() in *error when a
// call to the helper failed. Call from the main thread only: it installs
// signal handlers for its duration. In batch mode: returns 0 after the last
// frame, kExitOutput with *error when one could not be written.
struct TopOptions {
  TopSort sort = TopSort::kCpu;
  bool reversed = false;
  double intervalSeconds = 1.0;
  TopFilter filter;
  // Batch mode: `frames` frames of plain text on standard output, one every
  // interval, no terminal needed (0: until a terminating signal).
  bool batch = false;
  int frames = 0;
};
int runTop(HelperClient& helper, const TopOptions& options, bool agentRunning, std::string* error);

}  // namespace korvane
