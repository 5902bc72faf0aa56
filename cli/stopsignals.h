#pragma once

#include <functional>

// SIGINT and SIGTERM during a run (Ctrl+C and Ctrl+Break on Windows): taken
// by a thread of their own instead of ending the program, so that the run can
// stop its targets and report each. The one place that knows about the
// system's signals (stopsignals.cpp, stopsignals_windows.cpp).
namespace StopSignals {

// The help's sentence on the signals that stop a run.
extern const char* const Help;

// Holds both signals back from this thread and from every thread it starts
// afterwards, then starts a thread that waits for either and calls `stop`
// (once, from that thread). A second signal after that ends the program at
// once: with status 128 + the signal's number, or on Windows as the system
// ends a console program.
void divert(std::function<void()> stop);

// Writes to a pipe whose reader has gone fail (EPIPE) instead of ending the
// program; Windows has no such signal.
void ignoreBrokenPipe();

} // namespace StopSignals
