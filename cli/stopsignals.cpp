#include "cli/stopsignals.h"

#include <csignal>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace StopSignals {

const char* const Help = "SIGINT or SIGTERM stops every target and reports each; a second one "
                         "ends\nthe program at once.";

void divert(std::function<void()> stop) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // It waits until the process ends: the program never joins it.
    std::thread([signals, stop = std::move(stop)] {
        int signal = 0;
        while (sigwait(&signals, &signal) != 0) {
        }
        stop();
        // Asked again (a second Ctrl+C, the service manager's follow-up
        // SIGTERM): the program ends now, as the signal would have ended it.
        while (sigwait(&signals, &signal) != 0) {
        }
        _exit(128 + signal);
    }).detach();
}

void ignoreBrokenPipe() {
    std::signal(SIGPIPE, SIG_IGN);
}

} // namespace StopSignals
