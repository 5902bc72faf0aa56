#include "cli/stopsignals.h"

#include <windows.h>

#include <mutex>

// Windows has no SIGTERM: a console program hears Ctrl+C and Ctrl+Break,
// each on a thread that the system starts for it.
namespace StopSignals {

namespace {

std::function<void()> onStop;
std::once_flag stopped;

BOOL WINAPI consoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    std::call_once(stopped, onStop);
    return TRUE;
}

} // namespace

void divert(std::function<void()> stop) {
    onStop = std::move(stop);
    SetConsoleCtrlHandler(consoleEvent, TRUE);
}

} // namespace StopSignals
