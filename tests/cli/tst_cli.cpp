#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <list>

// velkaro-cli, copied into a folder whose COMn links lead to simulated
// modules; every run asks for --json.
class Cli : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    std::list<QProcess> modules_;
    int exitCode_ = -1;

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
            result << QJsonDocument::fromJson(line).object();
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
        return cli.readAllStandardOutput();
    }

    // The rows velkaro-cli prints with --json.
    QList<QJsonObject> run(const QString& line) { return objects(output(line + " --json")); }

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

    void setThenGet_data() {
        QTest::addColumn<QStringList>("module");
        QTest::addColumn<QString>("set");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("values"); // what a get then reports
        QTest::newRow("clock") << QStringList{"--frozen"} << R"(clock set "30/06/15 12:00:00")" << 0
                               << R"({"clock":"30/06/15 12:00:00"})";
        QTest::newRow("schedule") << QStringList() << "schedule set --rate 12h --on-time 171" << 0
                                  << R"({"on_time":171,"rate":"12  Hours","rate_index":5})";
        // Hex letters come back in lower case, which reads as no on-time.
        QTest::newRow("read back contradicts")
            << QStringList{"--fault", "lowercase"} << "schedule set --rate 2h --on-time 171" << 1
            << R"({"on_time":null,"rate":"2   Hours","rate_index":2})";
    }

    void setThenGet() {
        QFETCH(QStringList, module);
        QFETCH(QString, set);
        startModule(1, module);
        const QString error = run(set + " --port 1").value(0).value("error").toString();
        QTEST(exitCode_, "exitCode");
        QCOMPARE(error.startsWith("read back"), exitCode_ == 1);
        const QJsonObject got = run(set.section(' ', 0, 0) + " get --port 1").value(0);
        QTEST(QString(QJsonDocument(got.value("values").toObject()).toJson(QJsonDocument::Compact)),
              "values");
    }

    // An hour behind, in time and an hour ahead; a silent module; a dangling
    // link. Bad arguments first: they must not reach any line.
    void rack() {
        for (int port = 1; port <= 3; ++port) {
            const QDateTime clock = QDateTime::currentDateTime().addSecs(3600 * (port - 2));
            startModule(port, {"--clock", clock.toString("yy/MM/dd HH:mm:ss")});
        }
        startModule(4, {"--fault", "silent"});
        QVERIFY(QFile::link("/nonexistent/tty", link(5)));
        for (const char* line :
             {"schedule set --rate 2h --on-time 241 --port 1-4", "clock get --port 1,99"}) {
            QVERIFY(run(line).value(0).isEmpty());
            QCOMPARE(exitCode_, 2);
        }
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

    // A module answering with a NUL and terminal controls beside a good one:
    // the table keeps both rows, and nothing in it can steer a terminal.
    void hostileBytesStayInTheirCell() {
        startModule(1);
        startModule(2, {"--fault", "control"});
        const QByteArray table = output("clock get --port 1-2");
        QCOMPARE(exitCode_, 1);
        const QList<QByteArray> lines = table.trimmed().split('\n');
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines[1].startsWith("COM1 ") && lines[1].contains(" ok "));
        QVERIFY2(lines[2].startsWith("COM2 ") && lines[2].contains("\"??M?cT"), lines[2]);
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

    // As the simulator measured it when the frame arrived, the new clock is
    // off by the frame's time on the wire at most; room for a busy machine,
    // but well under the second that a clock set without timing can miss by.
    void clockFromComputerIsPrecise() {
        startModule(1);
        run("clock set --from-pc --port 1");
        QCOMPARE(exitCode_, 0);
        QVERIFY(std::abs(transcript(1, "event", "clock").value(0).value("ahead").toDouble(9)) <
                0.1);
    }
};

QTEST_GUILESS_MAIN(Cli)
#include "tst_cli.moc"
