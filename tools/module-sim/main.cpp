#include "simoptions.h"
#include "simulator.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <unistd.h>

namespace {

// SIGTERM and SIGINT end the event loop through this pipe, so that the link
// is removed and the transcript closed on the way out.
int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
}

bool catchTerminationSignals() {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGTERM, &action, nullptr) == 0 &&
           ::sigaction(SIGINT, &action, nullptr) == 0;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velkaro-module-sim"));

    const ModuleSim::CommandLine commandLine =
        ModuleSim::parseCommandLine(QCoreApplication::arguments());
    if (commandLine.helpRequested) {
        std::fputs(qPrintable(ModuleSim::helpText()), stdout);
        return 0;
    }
    if (!commandLine.error.isEmpty()) {
        std::fprintf(stderr, "velkaro-module-sim: %s (see --help)\n",
                     qPrintable(commandLine.error));
        return 2;
    }
    ModuleSim::Options options = commandLine.options;
    if (!options.seedGiven) {
        options.behaviour.seed = std::random_device{}();
    }

    if (!catchTerminationSignals()) {
        std::perror("velkaro-module-sim: cannot catch signals");
        return 1;
    }
    QSocketNotifier signalled(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalled, &QSocketNotifier::activated, &app, &QCoreApplication::quit);

    ModuleSim::Simulator simulator(options);
    QString error;
    if (!simulator.start(error)) {
        std::fprintf(stderr, "velkaro-module-sim: %s\n", qPrintable(error));
        return 1;
    }
    QObject::connect(&simulator, &ModuleSim::Simulator::hungUp, &app, &QCoreApplication::quit);
    std::printf("%s\n", qPrintable(simulator.devicePath()));
    std::fflush(stdout);
    return QCoreApplication::exec();
}
