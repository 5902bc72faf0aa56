#include "cli/arguments.h"
#include "cli/modulelink.h"
#include "cli/readings.h"
#include "cli/targetjob.h"
#include "protocol/textoutput.h"

#include <QTemporaryDir>

#include <QProcess>
#include <QtTest>

#include <cstdio>
#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

// A byte string written out in the test, zero bytes and all.
template <std::size_t N> QByteArray bytes(const char (&text)[N]) {
    return QByteArray(text, N - 1);
}

class CliArguments : public QObject {
    Q_OBJECT

private slots:
    // Each row is a command line and a part of what it gives: the usage error,
    // or "targets: ... | rate: index, on-time".
    void parse_data() {
        QTest::addColumn<QString>("expected");
        auto row = [](const char* line, const char* expected) { QTest::newRow(line) << expected; };
        row("clock get --port 1,3,5-8 --port 3 --device /d/x", "targets: 1 3 5 6 7 8 /d/x |");
        row(R"(schedule set --rate "30  Minutes" --on-time 1 --port 9)", "9 | rate: 0, 1");
        row(R"(schedule set --rate "24 HOURS" --on-time 240 --port 1)", "rate: 6, 240");
        row("schedule set --rate 12h --on-time 171 --port 1", "rate: 5, 171");
        row("schedule set --rate 4 --on-time 100 --port 1", "rate: 4, 100");
        row("clock set 26/03/29 02:30:00 --port 2", "targets: 2 |");
        row("clock get --timeout 1", "no module given");
        row("clock get --port 0", "--port takes");
        row("clock get --port 257", "--port takes");
#ifdef Q_OS_WIN
        row("clock get --port 9-11,256", "targets: 9 10 11 256 |");
#else
        row("clock get --port 10", "--port takes");
#endif
        row("clock get --port 5-3", "--port takes");
        row("schedule set --rate 7 --on-time 5 --port 1", "--rate takes");
        row("schedule set --rate 1m --on-time 5 --port 1", "--rate takes");
        row("schedule set --rate 1h --on-time 0 --port 1", "--on-time takes");
        row("schedule set --rate 1h --on-time 241 --port 1", "--on-time takes");
        row("schedule set --rate 1h --port 1", "needs --rate and --on-time");
        row("clock set 26/02/29 10:00:00 --port 1", "clock text must be");
        row("clock set 26/01/05 09-07-03 --port 1", "clock text must be");
        row("clock set --from-pc 26/01/05 09:07:03 --port 1", "either TEXT or --from-pc");
        row("clock get --port 1 --timeout 1e-9", "--timeout takes");
        row("clock get --port 1 --rate 2", "--rate does not go with clock get");
        row("clock get --port 1 --quiet --json", "--quiet and --json do not go together");
        row("clock set 26/01/05 09:07:03 --if-drift-over 2 --port 1", "goes with --from-pc");
        row("clock set --from-pc --if-drift-over -1 --port 1", "takes whole seconds");
        row("clock get --port COM3,com5-COM6", "targets: 3 5 6 |");
        row("--version extra", "--version takes no command, not \"extra\"");
        row("clock get --porr 1", "unknown option --porr: did you mean --port?");
        row("clock get --utc --zzzzzz", "unknown option --zzzzzz");
        row("clock set 26/01/05 09:07:03 --require-synced --port 1", "goes with --from-pc");
        row("clock set --from-pc --precise --port 1", "--precise does not go with clock set");
        row("", "Usage:");
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
        QVERIFY((parsed.outcome == Cli::Parsed::Outcome::Run) == expected.contains("targets:") ||
                expected.contains("rate:"));
        const QString summary = parsed.outcome != Cli::Parsed::Outcome::Run
                                    ? parsed.text
                                    : QStringLiteral("targets:%1 | rate: %2, %3")
                                          .arg(targets)
                                          .arg(parsed.request.rateIndex)
                                          .arg(parsed.request.onTime);
        QVERIFY2(summary.contains(expected), qPrintable(summary));
    }

    // A targets file's lines, and what the command line then holds: labelled
    // targets, or what is wrong (the line, not its text).
    void targetsFile_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("expected");
#ifdef Q_OS_WIN
        QTest::newRow("labels") << QByteArray("# rack A\n\nnorth 3  # roof\r\nsouth\t\\\\.\\COM12\n"
                                              "east com9\n")
                                << "north=3 south=\\\\.\\COM12 east=9";
        QTest::newRow("Linux path") << QByteArray("a /dev/ttyS0\n")
                                    << "modules:1: \"/dev/ttyS0\" is neither a port nor a device";
#else
        QTest::newRow("labels") << QByteArray("# rack A\n\nnorth 3  # roof\r\nsouth\t/dev/ttyUSB0\n"
                                              "east com9\n")
                                << "north=3 south=/dev/ttyUSB0 east=9";
        QTest::newRow("Windows name") << QByteArray("a \\\\.\\COM12\n")
                                      << "modules:1: \"\\\\.\\COM12\" is neither a port nor";
        QTest::newRow("relative path")
            << QByteArray("a dev/ttyS0\n") << "modules:1: \"dev/ttyS0\" is neither a port nor";
#endif
#ifdef Q_OS_WIN
        QTest::newRow("port out of range")
            << QByteArray("a 1\nb 257\n") << "modules:2: port \"257\" is out of range 1 to 256";
        QTest::newRow("no port") << QByteArray("a\n")
                                 << "modules:1: \"a\" needs a port (1 to 256) or a device path";
#else
        QTest::newRow("port out of range")
            << QByteArray("a 1\nb 10\n") << "modules:2: port \"10\" is out of range 1 to 9";
        QTest::newRow("no port") << QByteArray("a\n")
                                 << "modules:1: \"a\" needs a port (1 to 9) or a device path";
#endif
        // The label "Zürich-Ω" and port 2 in each encoding a file may come in.
        QTest::newRow("UTF-8") << bytes("Z\xc3\xbcrich-\xce\xa9 2\n") << "Zürich-Ω=2";
        QTest::newRow("UTF-8, BOM")
            << bytes("\xef\xbb\xbfZ\xc3\xbcrich-\xce\xa9 2\n") << "Zürich-Ω=2";
        QTest::newRow("UTF-16 LE, BOM")
            << bytes("\xff\xfeZ\0\xfc\0r\0i\0c\0h\0-\0\xa9\x03 \0\x32\0\r\0\n\0") << "Zürich-Ω=2";
        QTest::newRow("UTF-16 BE, BOM")
            << bytes("\xfe\xff\0Z\0\xfc\0r\0i\0c\0h\0-\x03\xa9\0 \0\x32\0\r\0\n") << "Zürich-Ω=2";
        QTest::newRow("UTF-16 without BOM") << bytes("a\0 \0\x32\0") << "neither UTF-8 nor UTF-16";
        QTest::newRow("Latin-1") << bytes("Z\xfcrich 2\n") << "neither UTF-8 nor UTF-16";
        QTest::newRow("three words") << QByteArray("a 1 2\n")
                                     << "modules:1: a target is a label and a port or device "
                                        "path, not 3 words";
        QTest::newRow("comments alone") << QByteArray("# a 1\n") << "modules lists no targets";
        QTest::newRow("endless") << QByteArray((1 << 20) + 1, ' ') << "larger than 1048576 bytes";
        QTest::newRow("duplicate label") << QByteArray("x 1\n\nrack-a-3 2\ny 3\nrack-a-3 4\n")
                                         << "modules:5: duplicate label \"rack-a-3\" (also line 3)";
        QTest::newRow("control bytes masked")
            << QByteArray("a\x1b[2J\x07\n") << "modules:1: \"a?[2J?\" needs a port";
#ifndef Q_OS_WIN
        QTest::newRow("bare device name")
            << QByteArray("a ttyUSB0\n")
            << "modules:1: \"ttyUSB0\" is not a device path: did you mean /dev/ttyUSB0?";
        QTest::newRow("a folder") << QByteArray() << "modules: not a regular file";
        QTest::newRow("a pipe") << QByteArray() << "modules: not a regular file";
#endif
    }

    void targetsFile() {
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        QFile file(dir.filePath("modules"));
        const QByteArray tag = QTest::currentDataTag();
        if (tag == "a folder") {
            QVERIFY(QDir(dir.path()).mkdir("modules"));
#ifndef Q_OS_WIN
        } else if (tag == "a pipe") {
            QCOMPARE(::mkfifo(qPrintable(file.fileName()), 0600), 0); // no writer: open blocks
#endif
        } else {
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
            file.close();
        }
        const Cli::Parsed parsed =
            Cli::parseArguments({"velkaro-cli", "clock", "get", "--targets", file.fileName()});
        QStringList targets;
        for (const Cli::Target& t : parsed.request.targets) {
            targets << t.label + u'=' + (t.device.isEmpty() ? QString::number(t.port) : t.device);
        }
        const QString summary =
            parsed.outcome == Cli::Parsed::Outcome::Run ? targets.join(u' ') : parsed.text;
        QFETCH(QString, expected);
        QVERIFY2(summary.contains(expected), qPrintable(summary));
    }

    // Two targets that are one device, spelt differently: the second is
    // named in the refusal; "" when they are different devices.
    void sameDevice_data() {
        QTest::addColumn<QStringList>("devices"); // a number is a port
        QTest::addColumn<QString>("refused");
#ifdef Q_OS_WIN
        QTest::newRow("port and its name") << QStringList{"1", "\\\\.\\COM1"} << "\\\\.\\COM1";
        QTest::newRow("cases") << QStringList{"\\\\.\\com12", "\\\\.\\COM12"} << "\\\\.\\COM12";
        QTest::newRow("short name") << QStringList{"COM3", "\\\\.\\com3"} << "\\\\.\\com3";
        QTest::newRow("two ports") << QStringList{"1", "\\\\.\\COM11"} << "";
#else
        QTest::newRow("port and its device") << QStringList{"1", "/dev/ttyS0"} << "/dev/ttyS0";
        QTest::newRow("two ports") << QStringList{"1", "/dev/ttyS1"} << "";
        QTest::newRow("labelled") << QStringList{"a=1", "b\x1b=/dev/ttyS0"}
                                  << "\"a\" (COM1) and \"b?\" (/dev/ttyS0) are the same device, "
                                     "/dev/ttyS0";
#endif
    }
    void sameDevice() {
        QFETCH(QStringList, devices);
        QFETCH(QString, refused);
        std::vector<Cli::Target> targets;
        for (const QString& labelled : devices) {
            const QString device = labelled.section(u'=', -1);
            bool port = false;
            const int number = device.toInt(&port);
            const QString label =
                labelled.contains(u'=') ? labelled.section(u'=', 0, 0) : QString();
            targets.push_back(port ? Cli::Target{number, {}, label}
                                   : Cli::Target{0, device, label});
        }
        const QTemporaryDir programFolder; // no COMn links in it
        const QString said = Cli::sameDevice(targets, programFolder.path());
        QVERIFY2(refused.isEmpty() ? said.isEmpty()
                 : refused.contains(" and ")
                     ? said.startsWith(refused)
                     : said.contains(" and " + refused + " are the same device"),
                 qPrintable(said));
    }

    // Replies as the module sends them, and what velkaro-cli takes from them:
    // a clock, a schedule "rate index, on-time", or nothing ("-").
    // What a file or a pipe receives: UTF-8, whatever the system's code page.
    void outputBytes() {
        std::FILE* file = std::tmpfile();
        QVERIFY(file != nullptr);
        QVERIFY(TextOutput::write(file, QStringLiteral("Zürich-Ω ok")));
        std::rewind(file);
        char bytes[32] = {};
        const std::size_t size = std::fread(bytes, 1, sizeof(bytes), file);
        std::fclose(file);
        QCOMPARE(QByteArray(bytes, static_cast<qsizetype>(size)),
                 QByteArray("Z\xc3\xbcrich-\xce\xa9 ok"));
    }

    void readings_data() {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("expected");
        auto row = [](const QByteArray& reply, const char* expected) {
            QTest::newRow(reply.toPercentEncoding().constData())
                << reply << QString::fromLatin1(expected);
        };
        row("T26/01/05 09:07:03\r\n", "26/01/05 09:07:03");
        row("T28/02/29 23:59:59\r\n", "28/02/29 23:59:59");
        row("T26/02/29 09:07:03\r\n", "-");
        row("T26/01/05 24:00:00\r\n", "-");
        row("T26-01-05 09:07:03\r\n", "-");
        row("T26/01/05 09:07:\r\n", "-");
        row("T 6/01/05 09:07:03\r\n", "-");
        row("\x1bT26/01/05 09:07:03\r\n", "-");
        row(QByteArray("T26/01/05 09:07:03\x1b[31m\0\r\n", 25), "-");
        row("SLOTS0,01\r\n", "0, 1");
        row("SLOTS6,F0\r\n", "6, 240");
        row("SLOTS3,3c\r\n", "-");
        row("SLOTS3,00\r\n", "-");
        row("SLOTS3,F1\r\n", "-");
        row("SLOTS3,:C\r\n", "-");
        row("SLOTS7,3C\r\n", "-");
        row("SLOTSX,3C\r\n", "-");
        row("SLOTS3,3\r\n", "-");
        row("SLOTS3;3C\r\n", "-");
        row(QByteArray("\x1b\0\x1b\0\x07"
                       "1\0AB\r",
                       10),
            "-");
        row("SLOTS3,3C \r\n", "-");
        row("ABCDEFG12\r\n", "-");
    }

    void readings() {
        QFETCH(QByteArray, reply);
        const bool clock = !reply.contains("SLOTS") && reply.size() > 15;
        const std::optional<qint64> time = Readings::clock(reply);
        const std::optional<Readings::Schedule> schedule = Readings::schedule(reply);
        QString got = QStringLiteral("-");
        if (clock && time) {
            got = QDateTime::fromMSecsSinceEpoch(*time, Qt::UTC).toString("yy/MM/dd HH:mm:ss");
        } else if (!clock && schedule) {
            got = QStringLiteral("%1, %2").arg(schedule->rateIndex).arg(schedule->onTime);
        }
        QTEST(got, "expected");
        QVERIFY(!(time && schedule));
    }

    // A character at 9600 baud, 8 data bits, no parity, 2 stop bits: 11 bits.
    void wireTime() {
        QCOMPARE(ModuleLink::wireTime(1).count(), 1145);
        QCOMPARE(ModuleLink::wireTime(19).count(), 21770);
    }
};

QTEST_GUILESS_MAIN(CliArguments)
#include "tst_cliarguments.moc"
