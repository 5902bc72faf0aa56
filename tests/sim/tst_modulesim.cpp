#include "modulestate.h"
#include "simoptions.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

using namespace ModuleSim;
using namespace std::chrono_literals;

namespace {

const QByteArray ClockText = "26/01/05 09:07:03";
const QByteArray ClockAnswer = "T" + ClockText + "\r";
const qint64 Wall = *parseClock(ClockText);

// Bytes that reach the module together at one moment.
struct Step {
    Nanos at;
    QByteArray bytes;
};
using Script = QList<Step>;

// A module set up by simulator options, its clock held at ClockText.
ModuleState module(const QStringList& options = {}) {
    const Options parsed = parseCommandLine(QStringList{"sim"} + options).options;
    return ModuleState(parsed.behaviour, ModuleClock(Wall, Wall, true), parsed.schedule);
}

// Wakes the module and sends `frame` a second later, as the program does.
Reaction command(ModuleState& state, QByteArrayView frame) {
    state.receive("\x80", 0s, Wall);
    return state.receive(frame, 1s, Wall);
}

QJsonObject onlyEvent(const Reaction& reaction, const char* kind) {
    QList<QJsonObject> found;
    for (const QJsonObject& event : reaction.events) {
        if (event.value("event").toString() == QLatin1String(kind)) {
            found.append(event);
        }
    }
    return found.size() == 1 ? found.constFirst() : QJsonObject();
}

} // namespace

Q_DECLARE_METATYPE(Script)

class TestModuleSim : public QObject {
    Q_OBJECT

private slots:
    void wakeRule_data();
    void wakeRule();
    void frames_data();
    void frames();
    void clockRunsOnUnlessFrozen();
    void faultModes_data();
    void faultModes();
    void badCommandLines_data();
    void badCommandLines();
    void toolAnswersOverAPseudoTerminal();
};

void TestModuleSim::wakeRule_data() {
    QTest::addColumn<Script>("script");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QStringList>("ignored"); // why frames went unheard, in order

    const auto row = [](const char* name, const Script& script, const QByteArray& sent,
                        const QStringList& ignored) {
        QTest::newRow(name) << script << sent << ignored;
    };
    const QString soon = "too soon after wake byte (%1 s)";
    row("no wake byte", {{5s, "H\r"}}, {}, {"no wake byte"});
    row("same read", {{0s, "\x80H\r"}}, {}, {soon.arg("0.000")});
    row("just under 0.9 s", {{0s, "\x80"}, {899'999'999ns, "H\r"}}, {}, {soon.arg("0.899")});
    row("exactly 0.9 s", {{0s, "\x80"}, {900ms, "H\r"}}, ClockAnswer, {});
    row("only the first byte is timed", {{0s, "\x80"}, {500ms, "B"}, {2s, "00\r"}}, {},
        {soon.arg("0.500")});
    row("asleep after a frame", {{0s, "\x80"}, {1s, "H\r"}, {3s, "H\r"}}, ClockAnswer,
        {"no wake byte"});
    row("asleep after an unheard frame", {{0s, "\x80"}, {100ms, "H\r"}, {3s, "H\r"}}, {},
        {soon.arg("0.100"), "no wake byte"});
    row("second wake byte restarts the wait", {{0s, "\x80"}, {500ms, "\x80"}, {1s, "H\r"}}, {},
        {soon.arg("0.500")});
    row("wake byte cuts off a frame",
        {{0s, "\x80"}, {1s, "B0"}, {1100ms, "\x80"}, {2100ms, "B00\r"}}, "SLOTS3,64\r",
        {"cut off by wake byte"});
}

void TestModuleSim::wakeRule() {
    QFETCH(Script, script);
    QFETCH(QByteArray, sent);
    QFETCH(QStringList, ignored);
    ModuleState state = module();
    QByteArray answers;
    QStringList reasons;
    for (const Step& step : script) {
        const Reaction reaction = state.receive(step.bytes, step.at, Wall);
        answers += reaction.send;
        for (const QJsonObject& event : reaction.events) {
            if (event.value("event").toString() == QLatin1String("ignored")) {
                reasons.append(event.value("reason").toString());
            }
        }
    }
    QCOMPARE(answers, sent);
    QCOMPARE(reasons, ignored);
}

void TestModuleSim::frames_data() {
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QByteArray>("clockAfter");    // the answer to "H" afterwards
    QTest::addColumn<QByteArray>("scheduleAfter"); // the answer to "B00" afterwards

    const auto row = [](const QByteArray& frame, const QByteArray& answer, const char* reason,
                        const QByteArray& clock = ClockText,
                        const QByteArray& schedule = "SLOTS3,64\r") {
        QTest::addRow("%s \"%s\"", reason, frame.toPercentEncoding().constData())
            << frame << answer << QString(reason) << "T" + clock + "\r" << schedule;
    };
    row("H\r", ClockAnswer, "clock read");
    row("B00\r", "SLOTS3,64\r", "schedule read");

    for (const char* good : {"26/03/15 14:30:00", "24/02/29 23:59:59", "00/01/01 00:00:00"}) {
        row("h" + QByteArray(good) + "\r", "OK\r", "clock set", good);
    }
    for (const char* bad :
         {"25/02/29 12:00:00", "26/13/01 00:00:00", "26/01/00 00:00:00", "26/01/05 24:00:00",
          "26/01/05 12:60:00", "26/01/05 12:00:60", "26-01-05 09:07:03", "26/01/05 09:07:3",
          "26/01/05 09:07:031", " 6/01/05 09:07:03", "2a/01/05 09:07:03", ""}) {
        row("h" + QByteArray(bad) + "\r", "NAK\r", "bad clock text");
    }

    row("f0164\r", "OK\r", "schedule set", ClockText, "SLOTS1,64\r");
    row("f0001\r", "OK\r", "schedule set", ClockText, "SLOTS0,01\r");
    row("f06F0\r", "OK\r", "schedule set", ClockText, "SLOTS6,F0\r");
    row("f020A\r", "OK\r", "schedule set", ClockText, "SLOTS2,0A\r");
    for (const char* bad :
         {"0764", "1064", "0a64", "0300", "03F1", "03FF", "03f0", "03G1", "064", "06400", ""}) {
        row("f" + QByteArray(bad) + "\r", "NAK\r", "bad schedule codes");
    }

    for (const char* unknown : {"B01\r", "B0\r", "b00\r", "HH\r", "H\n\r", "\r", "\xff\r"}) {
        row(unknown, "NAK\r", "unknown command");
    }
}

void TestModuleSim::frames() {
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, answer);
    QFETCH(QString, reason);
    QFETCH(QByteArray, clockAfter);
    QFETCH(QByteArray, scheduleAfter);
    ModuleState state = module();
    const Reaction reaction = command(state, frame);
    QCOMPARE(reaction.send, answer);
    const QJsonObject event = onlyEvent(reaction, "frame");
    QCOMPARE(event.value("text").toString(), QString::fromLatin1(frame));
    QCOMPARE(event.value("accepted").toBool(), answer != "NAK\r");
    QCOMPARE(event.value("reason").toString(), reason);

    QCOMPARE(command(state, "H\r").send, clockAfter);
    const QByteArray schedule = command(state, "B00\r").send;
    QCOMPARE(schedule, scheduleAfter);
    // Positions counted from 1, as the program reads them: the rate at 6, the on-time at 8-9.
    QCOMPARE(schedule.at(5) - '0', state.schedule().rate);
    QCOMPARE(schedule.mid(7, 2).toInt(nullptr, 16), state.schedule().onTime);

    // A set is recorded with the value it took.
    QCOMPARE(onlyEvent(reaction, "clock").value("value").toString(),
             reason == "clock set" ? QString::fromLatin1(clockAfter.mid(1, 17)) : QString());
    const QJsonObject changed = onlyEvent(reaction, "schedule");
    QCOMPARE(changed.isEmpty(), reason != "schedule set");
    QCOMPARE(changed.value("rate").toInt(state.schedule().rate), state.schedule().rate);
    QCOMPARE(changed.value("on_time").toInt(state.schedule().onTime), state.schedule().onTime);
}

void TestModuleSim::clockRunsOnUnlessFrozen() {
    const qint64 now = *parseClock("30/06/01 12:00:00");
    ModuleState running({}, ModuleClock(Wall, now, false), {});
    running.receive("\x80", 0s, now);
    QCOMPARE(running.receive("H\r", 1s, now + 61'500).send, "T26/01/05 09:08:04\r");

    // A set clock runs on from the value set, across midnight and the year end.
    running.receive("\x80", 2s, now);
    running.receive("h26/12/31 23:59:58\r", 3s, now);
    running.receive("\x80", 4s, now);
    QCOMPARE(running.receive("H\r", 5s, now + 3'000).send, "T27/01/01 00:00:01\r");

    ModuleState frozen = module();
    frozen.receive("\x80", 0s, Wall);
    QCOMPARE(frozen.receive("H\r", 1s, Wall + 3'600'000).send, ClockAnswer);
}

void TestModuleSim::faultModes_data() {
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("answer"); // '?': any printable byte, '*': any byte at all

    const auto row = [](const QStringList& options, const QByteArray& frame,
                        const QByteArray& answer) {
        QTest::addRow("%s \"%s\"", qPrintable(options.join(' ')),
                      frame.toPercentEncoding().constData())
            << options << frame << answer;
    };
    for (const QByteArray frame : {"H\r", "f0001\r", "X\r"}) {
        row({"--fault", "silent"}, frame, {});
    }
    const QStringList garbage{"--fault", "garbage", "--seed", "11"};
    row(garbage, "H\r", QByteArray(18, '?') + "\r");
    row(garbage, "X\r", "???\r");
    row({"--fault", "lowercase", "--rate", "2", "--on-time", "171"}, "B00\r", "SLOTS2,ab\r");
    row({"--fault", "lowercase"}, "H\r", ClockAnswer);
    row({"--fault", "no-cr"}, "B00\r", "SLOTS3,64");
    row({"--fault", "no-cr"}, "f0001\r", "OK");
    row({"--fault", "no-cr"}, "X\r", "NAK");
    row({"--no-ack"}, "f0001\r", {});
    row({"--no-ack"}, "X\r", {});
    row({"--no-ack"}, "B00\r", "SLOTS3,64\r");
    row({"--flood", "300", "--seed", "42"}, "H\r", QByteArray(300, '*'));
    row({"--flood", "300", "--seed", "42"}, "X\r", QByteArray(300, '*'));
}

void TestModuleSim::faultModes() {
    QFETCH(QStringList, options);
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, answer);
    ModuleState state = module(options);
    const QByteArray sent = command(state, frame).send;
    QCOMPARE(sent.size(), answer.size());
    for (qsizetype i = 0; i < sent.size(); ++i) {
        const char c = sent.at(i), want = answer.at(i);
        const bool fits = want == '*' || (want == '?' ? c >= ' ' && c <= '~' : c == want);
        QVERIFY2(fits, sent.toHex(' ').constData());
    }
    if (answer.contains('?') || answer.contains('*')) {
        // Random, yet not the proper answer, and the same again for the same seed.
        ModuleState honest = module(), again = module(options);
        QVERIFY(sent != command(honest, frame).send);
        QCOMPARE(command(again, frame).send, sent);
    }
    if (frame == "f0001\r") {
        QCOMPARE(state.schedule().onTime, 1); // the set takes effect all the same
    }
}

void TestModuleSim::badCommandLines_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("mentions");
    for (const char* line :
         {"--rate 7", "--rate four", "--on-time 0", "--on-time 241", "--fault loud",
          "--clock 2026-01-05", "--delay -1", "--flood 0", "--flood 5 --fault garbage",
          "--seed 4294967296", "--hangup-after 0", "--baud 9600", "--rate"}) {
        // The message names the option at fault (without its dashes when the parser writes it).
        const QStringList arguments = QString(line).split(' ');
        QTest::newRow(line) << arguments << arguments.first().mid(2);
    }
    QTest::newRow("stray argument") << QStringList{"COM1"} << "COM1";
}

void TestModuleSim::badCommandLines() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, mentions);
    const CommandLine parsed = parseCommandLine(QStringList{"sim"} + arguments);
    QVERIFY(!parsed.error.contains('\n'));
    QVERIFY2(parsed.error.contains(mentions), qPrintable(parsed.error));
}

void TestModuleSim::toolAnswersOverAPseudoTerminal() {
    QTemporaryDir dir;
    const QString link = dir.filePath("COM1"), transcriptPath = dir.filePath("transcript.jsonl");
    QProcess tool;
    tool.start(VELKARO_MODULE_SIM, {"--link", link, "--transcript", transcriptPath, "--clock",
                                    QString::fromLatin1(ClockText), "--frozen"});
    QVERIFY(tool.waitForReadyRead(5000)); // the device path: the link is in place

    QSerialPort port(link);
    port.setBaudRate(QSerialPort::Baud9600);
    port.setStopBits(QSerialPort::TwoStop);
    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
    const auto send = [&port](const QByteArray& bytes) {
        return port.write(bytes) == bytes.size() && port.flush();
    };
    QVERIFY(send("\x80"));
    QTest::qWait(1000);
    QVERIFY(send("H\r"));
    QTRY_COMPARE_WITH_TIMEOUT(port.bytesAvailable(), ClockAnswer.size(), 5000);
    QCOMPARE(port.readAll(), ClockAnswer);
    port.close();

    const auto transcript = [&transcriptPath] {
        QFile file(transcriptPath);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    QTRY_VERIFY_WITH_TIMEOUT(transcript().contains("\"closed\""), 5000);
    tool.terminate();
    QVERIFY(tool.waitForFinished(5000));
    QCOMPARE(tool.exitCode(), 0);
    QVERIFY(!QFile::exists(link));

    // Each line is {"t":seconds, then the event's fields.
    const QRegularExpression line(R"(^\{"t":([0-9.]+),(.*)$)");
    QStringList events;
    QList<double> times;
    for (const QString& text : QString::fromLatin1(transcript()).split('\n', Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch match = line.match(text);
        QVERIFY2(match.hasMatch(), qPrintable(text));
        times.append(match.captured(1).toDouble());
        events.append('{' + match.captured(2));
    }
    QCOMPARE(events, (QStringList{
                         R"({"data":8,"event":"opened","parity":"n","speed":9600,"stop":2})",
                         R"({"dir":"rx","hex":"80"})",
                         R"({"dir":"rx","hex":"480d"})",
                         R"({"accepted":true,"event":"frame","reason":"clock read","text":"H\r"})",
                         R"({"dir":"tx","hex":")" + ClockAnswer.toHex() + R"("})",
                         R"({"event":"closed"})",
                     }));
    QVERIFY2(times[3] - times[1] >= 0.9, qPrintable(QString::number(times[3] - times[1])));
}

QTEST_GUILESS_MAIN(TestModuleSim)
#include "tst_modulesim.moc"
