#include "app/formcommunication.h"
#include "app/startup.h"
#include "protocol/diagnostics.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdlib>

#ifndef Q_OS_WIN
#include "app/terminationsignals.h"
#endif

namespace {

// The command line belongs to the program alone: the toolkit's own options
// (-style, -reverse, -platform, ...) would change the window, so they are
// unknown options here and the toolkit is given none.
enum class Start { Window, Done, UsageError };

Start parseCommandLine(int argc, char* argv[]) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
        QStringLiteral("Reads and sets the clock and the schedule of a module on a serial port.\n"
                       "The port is picked in the window's Com Port menu and remembered in\n"
                       "COM-BAUD.txt beside the program."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays this help and exits."));
    parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
    if (!parser.parse(arguments)) {
        Startup::tell(parser.errorText() + QStringLiteral(" (see --help)"), true);
        return Start::UsageError;
    }
    if (!parser.positionalArguments().isEmpty()) {
        Startup::tell(QStringLiteral("unexpected argument \"%1\" (see --help)")
                          .arg(parser.positionalArguments().constFirst()),
                      true);
        return Start::UsageError;
    }
    if (parser.isSet(help) || parser.isSet(version)) {
        const QString text =
            parser.isSet(help)
                ? parser.helpText().replace(QStringLiteral("<executable_name>"),
                                            QCoreApplication::applicationName())
                : QStringLiteral("%1 %2\n").arg(QCoreApplication::applicationName(),
                                                QCoreApplication::applicationVersion());
        Startup::tell(text, false);
        return Start::Done;
    }
    return Start::Window;
}

// While the toolkit connects to the display, a display it cannot reach (or a
// platform plugin it cannot load) ends in a fatal message and an abort; the
// operator is told why once, and the program ends with status 1.
void whileConnecting(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtFatalMsg) {
        Startup::tell(Startup::cannotShowWindow(message), true);
        std::_Exit(EXIT_FAILURE);
    }
    if (!QByteArray(context.category).startsWith("qt.qpa")) {
        Diagnostics::writeLine(type, context, message);
    }
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication::setApplicationName(QStringLiteral("velkaro"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELKARO_VERSION));
    qInstallMessageHandler(Diagnostics::writeLine);
    switch (parseCommandLine(argc, argv)) {
    case Start::Done:
        return EXIT_SUCCESS;
    case Start::UsageError:
        return 2;
    case Start::Window:
        break;
    }
    if (const QString missing = Startup::missingDisplay(); !missing.isEmpty()) {
        Startup::tell(missing, true);
        return EXIT_FAILURE;
    }

    int toolkitArgc = 1;
    qInstallMessageHandler(whileConnecting);
    QApplication app(toolkitArgc, argv);
    qInstallMessageHandler(Diagnostics::writeLine);
    QGuiApplication::setDesktopFileName(QStringLiteral("velkaro"));
    FormCommunication::applyClassicLook();
    FormCommunication form(QCoreApplication::applicationDirPath());
#ifndef Q_OS_WIN
    // Signals that end a program (a session ending, a service manager,
    // Ctrl+C) close the window as the operator would. Windows has no such
    // signals: it asks the window itself to close at log-off and shutdown,
    // which the toolkit turns into the same close.
    closeOnTerminationSignals(form);
#endif
    form.Form_Load();
    form.show();
    return QApplication::exec();
}
