#include "cli/arguments.h"
#include "cli/modulelink.h"
#include "cli/portfacts.h"
#include "cli/report.h"
#include "cli/stopsignals.h"
#include "cli/systemfacts.h"
#include "cli/targetjob.h"
#include "protocol/diagnostics.h"
#include "protocol/textoutput.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

// Whether everything printed reached standard output.
bool printed = true;

void print(const QString& text) {
    printed = TextOutput::write(stdout, text) && printed;
}

// A report that did not reach its reader (a full disk, a broken device) is a
// failure, whatever the modules did: `status`, or 1 when it was 0.
int finish(int status) {
    const bool outputLost = !printed || std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
    if (outputLost) {
        qCritical("standard output could not be written");
    }
    const bool errorsLost = std::fflush(stderr) != 0 || std::ferror(stderr) != 0;
    return (outputLost || errorsLost) && status == EXIT_SUCCESS ? EXIT_FAILURE : status;
}

// Under systemd, standard error is the journal's stream: each line then
// begins with its priority, "<3>" (err) for a failure, "<4>" (warning) for
// an interruption, as sd-daemon(3) describes.
void writeDiagnostic(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    static const bool journal = SystemFacts::errorsGoToJournal();
    if (!journal || type == QtDebugMsg) {
        Diagnostics::writeLine(type, context, message);
        return;
    }
    const char* const priority = type == QtWarningMsg ? "<4>" : type == QtInfoMsg ? "<6>" : "<3>";
    std::fputs(priority, stderr);
    Diagnostics::writeLine(type, context, message);
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velkaro-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELKARO_VERSION));
    qInstallMessageHandler(writeDiagnostic);
    // A reader that goes away (`| head -1`) makes each later write fail with
    // EPIPE, which ends as a failed report, instead of ending the program
    // before its targets are done.
    StopSignals::ignoreBrokenPipe();

    const Cli::Parsed parsed =
        Cli::parseArguments(Cli::standardArguments(QCoreApplication::arguments()));
    switch (parsed.outcome) {
    case Cli::Parsed::Outcome::Help:
    case Cli::Parsed::Outcome::Version:
        print(parsed.text);
        return finish(EXIT_SUCCESS);
    case Cli::Parsed::Outcome::UsageError:
        qCritical("%s (see --help)", qUtf8Printable(parsed.text));
        return finish(2);
    case Cli::Parsed::Outcome::Usage:
        TextOutput::write(stderr, parsed.text);
        return finish(2);
    case Cli::Parsed::Outcome::Run:
        break;
    }

    Cli::Request request = parsed.request;
    const QString programFolder = QCoreApplication::applicationDirPath();
    if (request.command == Cli::Command::Ports) {
        std::vector<Cli::PortFacts> ports;
        for (const int port : Cli::listedPorts()) {
            ports.push_back(Cli::portFacts(port, programFolder));
        }
        print(Cli::portsText(ports, request.json));
        return finish(EXIT_SUCCESS);
    }
    const QString duplicate = Cli::sameDevice(request.targets, programFolder);
    if (!duplicate.isEmpty()) {
        qCritical("%s", qUtf8Printable(duplicate));
        return finish(2);
    }
    if (request.command == Cli::Command::ClockGet || request.command == Cli::Command::ClockSet) {
        request.pcSynchronised = SystemFacts::clockSynchronised();
    }

    QStringList devices;
    for (const Cli::Target& target : request.targets) {
        devices << Cli::targetDevice(target, programFolder).first;
    }
    const Cli::OutcomeTable table(request, devices);
    const bool printTable = !request.json && !request.quiet;
    if (printTable) {
        print(table.header());
    }
    // Never destroyed: the signal thread outlives main().
    static Interruption& interruption = *new Interruption;
    StopSignals::divert([] { interruption.raise(); });
    const std::vector<Cli::Outcome> outcomes = Cli::runAll(
        request, programFolder, interruption, [&](std::size_t i, const Cli::Outcome& o) {
            if (request.json) {
                print(Cli::outcomeJson(request, i, o));
            } else if (printTable) {
                print(table.row(i, o));
            } else if (o.result == Cli::Outcome::Result::Interrupted) {
                qWarning("%s", qUtf8Printable(Cli::failureLine(request, i, o)));
            } else if (!o.succeeded()) {
                qCritical("%s", qUtf8Printable(Cli::failureLine(request, i, o)));
            }
        });
    const bool allSucceeded = std::all_of(outcomes.begin(), outcomes.end(),
                                          [](const Cli::Outcome& o) { return o.succeeded(); });
    return finish(allSucceeded ? EXIT_SUCCESS : EXIT_FAILURE);
}
