#include "cli/modulelink.h"
#include "cli/report.h"
#include "cli/stopsignals.h"
#include "cli/targetjob.h"
#include "support/ptypeer.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <list>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

// velkaro-cli, copied into a folder whose COMn links lead to simulated
// modules; every run asks for --json.
class CliRuns : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    std::list<QProcess> modules_;
    int exitCode_ = -1;
    QByteArray errors_; // what the last run wrote to standard error

    QString link(int port) const { return dir_.filePath(QStringLiteral("COM%1").arg(port)); }

    void startModule(int port, const QStringList& options = {}) {
        QProcess& module = modules_.emplace_back();
        module.start(SIM_BINARY, options + QStringList{"--link", link(port), "--transcript",
                                                       link(port) + ".t"});
        QVERIFY(module.waitForReadyRead(10000)); // it prints its device once linked
    }

    static QList<QJsonObject> objects(const QByteArray& lines) {
        QList<QJsonObject> result;
        for (const QByteArray& line : lines.split('\n')) {
            if (!line.isEmpty()) {
                result << QJsonDocument::fromJson(line).object();
            }
        }
        return result;
    }

    // What velkaro-cli prints, or writes to `outputFile`; its exit code goes
    // to exitCode_.
    QByteArray output(const QString& line, const QString& outputFile = {}) {
        QProcess cli;
        if (!outputFile.isEmpty()) {
            cli.setStandardOutputFile(outputFile);
        }
        cli.start(dir_.filePath("velkaro-cli"), QProcess::splitCommand(line));
        exitCode_ = cli.waitForFinished(30000) ? cli.exitCode() : -1;
        errors_ = cli.readAllStandardError();
        return cli.readAllStandardOutput();
    }

    // The rows velkaro-cli prints with --json, in the order of their ports.
    QList<QJsonObject> run(const QString& line) {
        QList<QJsonObject> rows = objects(output(line + " --json"));
        std::sort(rows.begin(), rows.end(), [](const QJsonObject& a, const QJsonObject& b) {
            return a.value("port").toString() < b.value("port").toString();
        });
        return rows;
    }

    // The lines of a module's transcript whose `key` is `value`.
    QList<QJsonObject> transcript(int port, const char* key, const char* value) {
        QFile file(link(port) + ".t");
        QList<QJsonObject> lines = objects(file.open(QIODevice::ReadOnly) ? file.readAll() : "");
        lines.removeIf([&](const QJsonObject& o) { return o.value(key) != QLatin1String(value); });
        return lines;
    }

private slots:
    void initTestCase() { QVERIFY(QFile::copy(CLI_BINARY, dir_.filePath("velkaro-cli"))); }

    void cleanup() {
        for (QProcess& module : modules_) {
            module.terminate();
            module.waitForFinished();
        }
        modules_.clear();
    }

    // Modules honest and not, as a set finds them: "ok", "sent" or "failed"
    // with the start of the error; then what a get reports, when asked.
    void setThenGet_data() {
        QTest::addColumn<QStringList>("module");
        QTest::addColumn<QString>("set");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("values");
        const QString clock = R"(clock set "30/06/15 12:00:00")";
        QTest::newRow("clock unchecked") << QStringList{"--frozen"} << clock + " --no-verify"
                                         << "sent"
                                         << R"({"clock":"30/06/15 12:00:00"})";
        QTest::newRow("clock") << QStringList() << clock << "ok"
                               << "";
        QTest::newRow("clock stored 1 s ahead")
            << QStringList{"--set-error", "1000"} << clock
            << "failed: read back 30/06/15 12:00:02 where 30/06/15 12:00:01 was expected (1 s "
               "ahead)"
            << "";
        // Read back 1.5 s after the set: 2.7 s on, 0.3 s from the next second.
        QTest::newRow("clock stored 1.2 s ahead")
            << QStringList{"--set-error", "1200"} << clock << "failed: read back 30/06/15 12:00:02"
            << "";
        QTest::newRow("clock stored 1 s behind")
            << QStringList{"--set-error", "-1000"} << clock
            << "failed: read back 30/06/15 12:00:00 where 30/06/15 12:00:01 was expected (1 s "
               "behind)"
            << "";
        QTest::newRow("clock set ignored")
            << QStringList{"--fault", "ignore-clock-set"} << clock << "failed: read back "
            << "";
        QTest::newRow("schedule") << QStringList() << "schedule set --rate 12h --on-time 171"
                                  << "ok"
                                  << R"({"on_time":171,"rate":"12  Hours","rate_index":5})";
        QTest::newRow("lower-case hex")
            << QStringList{"--fault", "lowercase"} << "schedule set --rate 2h --on-time 60"
            << R"(failed: unreadable reply "SLOTS2,3c")"
            << "null";
        QTest::newRow("schedule stored with another on-time")
            << QStringList{"--fault", "other-on-time"} << "schedule set --rate 1h --on-time 240"
            << R"(failed: read back "1   Hour", 1 s, not "1   Hour", 240 s as set)"
            << "";
        QTest::newRow("no carriage return")
            << QStringList{"--fault", "no-cr"}
            << "schedule set --rate 2h --on-time 60 --timeout 0.5"
            << R"(failed: incomplete reply "SLOTS2,3C" (9 bytes, no carriage return))"
            << "";
    }

    // In a zone with daylight saving, away from UTC: a clock text goes out and
    // comes back as it is. Each row has every key, as a script reading them
    // sees it.
    void setThenGet() {
        QFETCH(QStringList, module);
        QFETCH(QString, set);
        QFETCH(QString, result);
        QFETCH(QString, values);
        const QString keys = set.startsWith("clock")
                                 ? "device drift drift_precision error frame_sent label link "
                                   "pc_synchronised port result utc_offset values warnings zone"
                                 : "device error frame_sent label link port result values";
        qputenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
        const auto utc = qScopeGuard([] { qunsetenv("TZ"); });
        startModule(1, module);
        const QJsonObject row = run(set + " --port 1").value(0);
        QCOMPARE(row.keys().join(' '), keys);
        const QString got =
            row.value("result").toString() +
            (row.value("error").isNull() ? "" : ": " + row.value("error").toString());
        QVERIFY2(got.startsWith(result), qPrintable(got));
        QCOMPARE(exitCode_, result.startsWith("failed") ? 1 : 0);
        if (!values.isEmpty()) {
            const QJsonObject get = run(set.section(' ', 0, 0) + " get --port 1").value(0);
            QCOMPARE(get.keys().join(' '), keys);
            const QJsonValue read = get.value("values");
            QCOMPARE(read.isNull() ? QString("null")
                                   : QJsonDocument(read.toObject()).toJson(QJsonDocument::Compact),
                     values);
        }
    }

    // An hour behind, in time and an hour ahead; a silent module; a dangling
    // link. A bad command line first: it must not reach any line.
    void rack() {
        for (int port = 1; port <= 3; ++port) {
            const QDateTime clock = QDateTime::currentDateTime().addSecs(3600 * (port - 2));
            startModule(port, {"--clock", clock.toString("yy/MM/dd HH:mm:ss")});
        }
        startModule(4, {"--fault", "silent"});
        QVERIFY(QFile::link("/nonexistent/tty", link(5)));
        QVERIFY(run("clock get --port 1-2 --device " + link(1)).value(0).isEmpty());
        QCOMPARE(exitCode_, 2);
        QVERIFY2(errors_.contains(("COM1 and " + link(1)).toUtf8()), errors_);
        QCOMPARE(QFileInfo(link(1) + ".t").size(), 0);

        const QList<QJsonObject> rows = run("clock get --port 1-5 --timeout 0.5");
        QCOMPARE(exitCode_, 1);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(rows.value(i).value("result").toString(), "ok");
            QVERIFY(std::abs(rows.value(i).value("drift").toInt() - 3600 * (i - 1)) <= 1);
        }
        QVERIFY(rows.value(3).value("error").toString().contains("no reply within 0.5 s"));
        QVERIFY(rows.value(4).value("error").toString().contains(link(5)));
        // At once: every module was woken before any of them got its frame.
        double lastWake = 0, firstFrame = 1e12;
        for (int port = 1; port <= 4; ++port) {
            lastWake =
                std::max(lastWake, transcript(port, "hex", "80").value(0).value("t").toDouble());
            firstFrame = std::min(
                firstFrame, transcript(port, "event", "frame").value(0).value("t").toDouble());
        }
        QVERIFY(lastWake > 0 && lastWake < firstFrame);
    }

    // Writes a targets file and returns its path.
    QString targetsFile(const QByteArray& content) {
        QFile file(dir_.filePath("modules"));
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size()
                   ? file.fileName()
                   : QString();
    }

    // A module answering with a NUL and terminal controls beside a good one,
    // a label with an escape sequence: the table keeps both rows, and nothing
    // in it can steer a terminal.
    void hostileBytesStayInTheirCell() {
        startModule(1);
        startModule(2, {"--fault", "control"});
        const QByteArray table =
            output("clock get --port 1 --targets " + targetsFile("evil\x1b[2J 2\n"));
        QCOMPARE(exitCode_, 1);
        QList<QByteArray> lines = table.trimmed().split('\n');
        QCOMPARE(lines.size(), 3);
        std::sort(lines.begin() + 1, lines.end()); // rows come as their targets finish
        QVERIFY2(lines[2].startsWith("evil?[2J  COM2 ") &&
                     lines[2].contains("unreadable reply \"??M?cT"),
                 lines[2]);
        QVERIFY(lines[1].contains(" COM1 ") && lines[1].contains(" ok "));
        for (const char c : table) {
            QVERIFY2(c == '\n' || static_cast<unsigned char>(c) >= 0x20, table.toHex(' '));
        }
    }

    // A report that cannot be written is a failure, whatever it reports.
    void unwritableOutputFails() {
        startModule(1);
        for (const char* line : {"clock get --port 1 --json", "ports", "--help"}) {
            output(line, "/dev/full");
            QVERIFY2(exitCode_ == 1, line);
        }
    }

    // Each --json row as its target finishes; on SIGTERM every target still
    // running is reported as interrupted, its set frame sent or not.
    void interruptedRunReportsEveryTarget() {
        startModule(1);
        startModule(2, {"--fault", "silent"});
        QProcess cli;
        cli.start(dir_.filePath("velkaro-cli"),
                  QProcess::splitCommand(
                      u"schedule set --rate 1h --on-time 9 --port 1-2 --json --timeout 60"));
        QVERIFY(cli.waitForReadyRead(10000));
        QCOMPARE(objects(cli.readLine()).value(0).value("result"), "ok");
        cli.terminate();
        QVERIFY(cli.waitForFinished(5000));
        QCOMPARE(cli.exitCode(), 1);
        const QJsonObject row = objects(cli.readAll()).value(0);
        QCOMPARE(row.value("port"), "COM2");
        QCOMPARE(row.value("result"), "interrupted");
        QCOMPARE(row.value("frame_sent"), true);
        QCOMPARE(row.value("error"), "interrupted after its frame was sent");
    }

    // A line that stops taking bytes after the wake byte: the set fails, and
    // its frame does not count as sent.
    void stalledLineFailsTheTarget() {
        PtyPeer line;
        line.letGo();
        QProcess cli;
        cli.start(dir_.filePath("velkaro-cli"),
                  {"schedule", "set", "--rate", "1h", "--on-time", "9", "--no-verify", "--json",
                   "--device", line.slavePath()});
        QVERIFY(line.waitForBytes(1, 10000));
        QCOMPARE(line.receivedBytes(), "\x80");
        const int slave =
            ::open(QFile::encodeName(line.slavePath()).constData(), O_RDWR | O_NOCTTY);
        QVERIFY(slave >= 0);
        const auto closed = qScopeGuard([slave] { ::close(slave); });
        QCOMPARE(::tcflow(slave, TCOOFF), 0);
        QVERIFY(cli.waitForFinished(10000));
        QCOMPARE(cli.exitCode(), 1);
        const QJsonObject row = objects(cli.readAllStandardOutput()).value(0);
        QCOMPARE(row.value("result"), "failed");
        QCOMPARE(row.value("frame_sent"), false);
        QCOMPARE(row.value("error"),
                 "cannot write to " + line.slavePath() + ": 0 of 6 bytes sent within 1000 ms");
    }

    // A clock exactly at the limit is kept, its set frame not sent; one
    // beyond it set; with --quiet only a failure is told, on standard error,
    // labelled.
    void driftLimitAndQuiet() {
        startModule(1, {"--clock-offset", "2"});
        startModule(2, {"--clock-offset", "-60"});
        const QList<QJsonObject> rows = run("clock set --from-pc --if-drift-over 2 --port 1-2");
        QCOMPARE(exitCode_, 0);
        QCOMPARE(rows.value(0).value("result"), "kept");
        QCOMPARE(rows.value(0).value("frame_sent"), false);
        QVERIFY(std::abs(rows.value(0).value("drift").toDouble() - 2) <= 0.05);
        QCOMPARE(rows.value(1).value("result"), "ok");
        QVERIFY(std::abs(rows.value(1).value("drift").toDouble() + 60) <= 0.05);
        QCOMPARE(transcript(1, "event", "clock").size(), 0);

        startModule(3, {"--fault", "silent"});
        QVERIFY(
            output("clock get --quiet --timeout 0.2 --targets " + targetsFile("good 1\nmute 3\n"))
                .isEmpty());
        QCOMPARE(exitCode_, 1);
        QCOMPARE(errors_, "velkaro-cli: mute COM3 " +
                              QFileInfo(link(3)).canonicalFilePath().toUtf8() +
                              ": failed: no reply within 0.2 s\n");
    }

    // --utc compares with UTC whatever the local zone: a module kept in UTC
    // is on time with it, and three hours behind local time without it.
    void utcIgnoresTheLocalZone() {
        qputenv("TZ", "UTC0");
        startModule(1);
        qputenv("TZ", "XYZ-3");
        const QJsonObject utc = run("clock get --utc --port 1").value(0);
        const QJsonObject local = run("clock get --port 1").value(0);
        qunsetenv("TZ");
        QCOMPARE(utc.value("zone"), "UTC");
        QVERIFY(std::abs(utc.value("drift").toInt(99)) <= 1);
        QCOMPARE(local.value("zone"), "local");
        QVERIFY(std::abs(local.value("drift").toInt() + 3 * 3600) <= 1);
    }

    // A change of the local time 1 s and 3 s after a set from the computer
    // begins, each way: the module gets the local time after it, UTC plus
    // the offset the row reports, as the simulator measured it when the frame
    // arrived: off by the frame's time on the wire at most; room for a busy
    // machine, but well under the second that a clock set without timing can
    // miss by. (A program slow to start may begin after the change; the
    // result must be the same.)
    void daylightSavingChange_data() {
        QTest::addColumn<bool>("spring");
        QTest::addColumn<int>("after");
        QTest::addColumn<int>("offset");
        for (const int after : {1, 3}) {
            QTest::addRow("spring, %d s after", after) << true << after << 3600;
            QTest::addRow("autumn, %d s after", after) << false << after << 0;
        }
    }
    void daylightSavingChange() {
        QFETCH(bool, spring);
        QFETCH(int, after);
        // "J" days count 1 to 365 without 29 February; a rule's end is in the
        // local time in force before it.
        const auto rule = [](qint64 at) {
            const QDateTime t = QDateTime::fromSecsSinceEpoch(at, Qt::UTC);
            const int leap = QDate::isLeapYear(t.date().year()) && t.date().month() > 2;
            return QStringLiteral("J%1/%2")
                .arg(t.date().dayOfYear() - leap)
                .arg(t.toString("HH:mm:ss"));
        };
        qputenv("TZ", "UTC0"); // the module's transcript measures against UTC
        const auto utc = qScopeGuard([] { qunsetenv("TZ"); });
        startModule(1);
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        qputenv("TZ", spring ? "STD0DST-1," + rule(now + after).toLatin1() + ",J365/0"
                             : "STD0DST-1,J1/0," + rule(now + after + 3600).toLatin1());
        const QJsonObject row = run("clock set --from-pc --port 1").value(0);
        QCOMPARE(row.value("result"), "ok");
        QTEST(row.value("utc_offset").toInt(), "offset");
        const double ahead = transcript(1, "event", "clock").value(0).value("ahead").toDouble(9);
        QVERIFY2(std::abs(ahead - row.value("utc_offset").toInt()) < 0.1,
                 qPrintable(QString::number(ahead)));
        // The second is chosen before the wake byte, which goes one second
        // (the module's listening delay and a margin) before the frame. The
        // simulator stamps bytes when it reads them, late by up to 23 ms
        // here under two CPU hogs: the bound allows 50.
        const double gap = transcript(1, "event", "frame").value(0).value("t").toDouble() -
                           transcript(1, "hex", "80").value(0).value("t").toDouble();
        QVERIFY2(gap >= 0.95 && gap < 1.1, qPrintable(QString::number(gap)));
    }

    // Whether this computer's clock is synchronised, as the system would tell
    // (this machine's is not): a warning, or with --require-synced a refusal
    // before anything is sent.
    void unsynchronisedComputerClock_data() {
        QTest::addColumn<bool>("required");
        QTest::addColumn<QString>("expected");
        QTest::newRow("warned") << false << R"(sent [the computer's clock is not synchronised])";
        QTest::newRow("required") << true << "failed the computer's clock is not synchronised[]";
    }
    void unsynchronisedComputerClock() {
        QFETCH(bool, required);
        startModule(1);
        Cli::Request request;
        request.command = Cli::Command::ClockSet;
        request.fromPc = true;
        request.verify = false;
        request.requireSynced = required;
        request.pcSynchronised = false;
        request.targets = {Cli::Target{0, link(1), {}}};
        Interruption interruption;
        const Cli::Outcome o =
            Cli::runTarget(request, request.targets[0], dir_.path(), interruption);
        const QJsonObject row =
            QJsonDocument::fromJson(Cli::outcomeJson(request, 0, o).toUtf8()).object();
        QCOMPARE(row.value("pc_synchronised"), false);
        QCOMPARE(row.value("frame_sent"), !required);
        QTEST(QStringLiteral("%1 %2[%3]")
                  .arg(row.value("result").toString(), row.value("error").toString(),
                       row.value("warnings").toVariant().toStringList().join(';')),
              "expected");
    }

    // Modules whose clocks run at known fractions of a second off, one
    // drifting 50 ppm, read in parallel: each drift within a generous bound
    // of the truth (bench/ measures the real error).
    void preciseDrift() {
        const QList<double> truth{0.437, -2.91, 59.999};
        for (int port = 1; port <= 3; ++port) {
            startModule(port, {"--clock-offset", QString::number(truth[port - 1]), "--drift",
                               port == 2 ? "50" : "0"});
        }
        const QList<QJsonObject> rows = run("clock get --precise --port 1-3");
        QCOMPARE(exitCode_, 0);
        for (int i = 0; i < 3; ++i) {
            const double drift = rows.value(i).value("drift").toDouble();
            QVERIFY2(std::abs(drift - truth[i]) <= 0.05, qPrintable(QString::number(drift)));
        }
    }

    // A reader that stops after one row: the rest cannot be written, which
    // fails the run (not a broken-pipe signal), and every target still ends
    // its transaction.
    void closedPipe() {
        for (int port = 1; port <= 3; ++port) {
            startModule(port, {"--delay", QString::number(400 * (port - 1))});
        }
        QProcess shell;
        shell.start("bash",
                    {"-c", "\"$0\" clock get --port 1-3 --json | head -1; exit ${PIPESTATUS[0]}",
                     dir_.filePath("velkaro-cli")});
        QVERIFY(shell.waitForFinished(30000));
        QCOMPARE(shell.exitCode(), 1);
        QCOMPARE(shell.readAllStandardOutput().count('\n'), 1);
        QVERIFY(shell.readAllStandardError().contains("standard output could not be written"));
        for (int port = 1; port <= 3; ++port) {
            QCOMPARE(transcript(port, "event", "closed").size(), 1);
        }
    }

    // Under systemd, standard error is the journal's stream: a failure's
    // line carries the err priority.
    void journalPriority() {
        QVERIFY(QFile::link("/nonexistent/tty", link(6)));
        const QString journal = dir_.filePath("journal");
        QVERIFY(QFile(journal).open(QIODevice::WriteOnly));
        struct stat file {};
        QCOMPARE(::stat(qPrintable(journal), &file), 0);
        QProcess cli;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("JOURNAL_STREAM",
                           QStringLiteral("%1:%2").arg(file.st_dev).arg(file.st_ino));
        cli.setProcessEnvironment(environment);
        cli.setStandardErrorFile(journal);
        cli.start(dir_.filePath("velkaro-cli"), {"clock", "get", "--quiet", "--port", "6"});
        QVERIFY(cli.waitForFinished(10000));
        QFile written(journal);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QVERIFY2(written.readAll().startsWith("<3>velkaro-cli: COM6 /nonexistent/tty: failed: "),
                 qPrintable(journal));
    }

    // The first signal asks the run to stop; the second, when the stop is
    // slow, ends the program at once, as the signal itself would have.
    void secondSignalEndsAtOnce_data() {
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("second");
        QTest::addColumn<int>("status");
        QTest::newRow("SIGTERM twice") << SIGTERM << SIGTERM << 143;
        QTest::newRow("SIGTERM, then Ctrl+C") << SIGTERM << SIGINT << 130;
    }
    void secondSignalEndsAtOnce() {
        QFETCH(int, first);
        QFETCH(int, second);
        int stopped[2];
        QCOMPARE(::pipe(stopped), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            ::alarm(5); // ends a child that ignores the second signal
            StopSignals::divert([&] {
                const char byte = 1;
                (void)!::write(stopped[1], &byte, 1);
            });
            char byte = 0;
            ::kill(::getpid(), first);
            if (::read(stopped[0], &byte, 1) == 1)
                ::kill(::getpid(), second);
            for (;;)
                ::pause();
        }
        ::close(stopped[0]);
        ::close(stopped[1]);
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY2(WIFEXITED(status), qPrintable(QString::number(status)));
        QTEST(WEXITSTATUS(status), "status");
    }
};

QTEST_GUILESS_MAIN(CliRuns)
#include "tst_cli.moc"
