#include "cli/stopsignals.h"

#include <windows.h>

#include <atomic>

// Windows has no SIGTERM: a console program hears Ctrl+C and Ctrl+Break,
// each on a thread that the system starts for it.
namespace StopSignals {

const char* const Help = "Ctrl+C or Ctrl+Break stops every target and reports each; a second "
                         "one ends\nthe program at once.";

namespace {

std::function<void()> onStop;
std::atomic_flag stopRequested;

// The first event asks the run to stop; a later one is left to the system,
// which ends the program.
BOOL WINAPI consoleEvent(DWORD event) {
    if ((event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) || stopRequested.test_and_set())
        return FALSE;
    onStop();
    return TRUE;
}

} // namespace

void divert(std::function<void()> stop) {
    onStop = std::move(stop);
    SetConsoleCtrlHandler(consoleEvent, TRUE);
}

void ignoreBrokenPipe() {}

} // namespace StopSignals
