#include "cli/arguments.h"

#include <QProcess>
#include <QtTest>

class CliArguments : public QObject {
    Q_OBJECT

private slots:
    // Each row is a command line and a part of what it gives: the usage error,
    // or "targets: ... | rate: index, on-time".
    void parse_data() {
        QTest::addColumn<QString>("expected");
        auto row = [](const char* line, const char* expected) { QTest::newRow(line) << expected; };
        row("clock get --port 1,3,5-8 --port 3 --device /d/x", "targets: 1 3 5 6 7 8 /d/x |");
        row(R"(schedule set --rate "30  Minutes" --on-time 1 --port 16)", "16 | rate: 0, 1");
        row(R"(schedule set --rate "24 HOURS" --on-time 240 --port 1)", "rate: 6, 240");
        row("schedule set --rate 12h --on-time 171 --port 1", "rate: 5, 171");
        row("schedule set --rate 4 --on-time 100 --port 1", "rate: 4, 100");
        row("clock set 26/03/29 02:30:00 --port 2", "targets: 2 |");
        row("clock get --timeout 1", "no module given");
        row("clock get --port 0", "--port takes");
        row("clock get --port 17", "--port takes");
        row("clock get --port 5-3", "--port takes");
        row("schedule set --rate 7 --on-time 5 --port 1", "--rate takes");
        row("schedule set --rate 1m --on-time 5 --port 1", "--rate takes");
        row("schedule set --rate 1h --on-time 0 --port 1", "--on-time takes");
        row("schedule set --rate 1h --on-time 241 --port 1", "--on-time takes");
        row("schedule set --rate 1h --port 1", "needs --rate and --on-time");
        row("clock set 26/02/29 10:00:00 --port 1", "clock text must be");
        row("clock set 26/01/05 09-07-03 --port 1", "clock text must be");
        row("clock set --from-pc 26/01/05 09:07:03 --port 1", "either TEXT or --from-pc");
        row("clock get --port 1 --timeout 0", "--timeout takes");
        row("clock get --port 1 --timeout 1e-9", "--timeout takes");
        row("clock get --port 1 --rate 2", "--rate does not go with clock get");
    }

    void parse() {
        QFETCH(QString, expected);
        const Cli::Parsed parsed =
            Cli::parseArguments(QStringList{"velkaro-cli"} +
                                QProcess::splitCommand(QString::fromUtf8(QTest::currentDataTag())));
        QString targets;
        for (const Cli::Target& target : parsed.request.targets) {
            targets +=
                u' ' + (target.device.isEmpty() ? QString::number(target.port) : target.device);
        }
        const QString summary = parsed.outcome != Cli::Parsed::Outcome::Run
                                    ? parsed.text
                                    : QStringLiteral("targets:%1 | rate: %2, %3")
                                          .arg(targets)
                                          .arg(parsed.request.rateIndex)
                                          .arg(parsed.request.onTime);
        QVERIFY2(summary.contains(expected), qPrintable(summary));
    }
};

QTEST_GUILESS_MAIN(CliArguments)
#include "tst_cliarguments.moc"
