#include "modulestate.h"
#include "simoptions.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

using namespace modulesim;
using namespace std::chrono_literals;

namespace {

const QByteArray ClockText = "26/01/05 09:07:03";
const qint64 Wall = *parseClock(ClockText);

ModuleState frozenModule(const Behaviour& behaviour = {}, const Schedule& schedule = {}) {
    return ModuleState(behaviour, ModuleClock(Wall, Wall, true), schedule);
}

// Wakes the module at `at` and sends `frame` `gap` later, as the program
// does; returns what the frame caused.
Reaction command(ModuleState& module, QByteArrayView frame, Nanos at = 0s, Nanos gap = 1s) {
    module.receive("\x80", at, Wall);
    return module.receive(frame, at + gap, Wall);
}

QJsonObject onlyEvent(const Reaction& reaction, const char* kind) {
    QJsonObject found;
    int count = 0;
    for (const QJsonObject& event : reaction.events) {
        if (event.value("event").toString() == QLatin1String(kind)) {
            found = event;
            ++count;
        }
    }
    return count == 1 ? found : QJsonObject();
}

QList<QJsonObject> readTranscript(const QString& path) {
    QList<QJsonObject> lines;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return lines;
    }
    while (!file.atEnd()) {
        lines.append(QJsonDocument::fromJson(file.readLine()).object());
    }
    return lines;
}

QList<QJsonObject> eventsOf(const QList<QJsonObject>& transcript) {
    QList<QJsonObject> events;
    for (const QJsonObject& line : transcript) {
        if (line.contains("event")) {
            events.append(line);
        }
    }
    return events;
}

QByteArray bytesOf(const QList<QJsonObject>& transcript, const char* direction) {
    QByteArray bytes;
    for (const QJsonObject& line : transcript) {
        if (line.value("dir").toString() == QLatin1String(direction)) {
            bytes += QByteArray::fromHex(line.value("hex").toString().toLatin1());
        }
    }
    return bytes;
}

// The simulator as a child process, with a port opened on its link.
class RunningSimulator {
public:
    explicit RunningSimulator(const QStringList& extraArguments) {
        link_ = dir_.filePath("COM1");
        transcript_ = dir_.filePath("transcript.jsonl");
        process_.start(VELKARO_MODULE_SIM,
                       QStringList{"--link", link_, "--transcript", transcript_} + extraArguments);
        if (process_.waitForReadyRead(5000)) {
            device_ = QString::fromLocal8Bit(process_.readLine().trimmed());
        }
    }
    ~RunningSimulator() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
    RunningSimulator(const RunningSimulator&) = delete;
    RunningSimulator& operator=(const RunningSimulator&) = delete;

    QString link() const { return link_; }
    QString device() const { return device_; }
    QProcess& process() { return process_; }
    QList<QJsonObject> transcript() const { return readTranscript(transcript_); }
    bool transcriptHas(const char* event) const {
        const QList<QJsonObject> lines = transcript();
        return std::any_of(lines.begin(), lines.end(), [event](const QJsonObject& line) {
            return line.value("event").toString() == QLatin1String(event);
        });
    }

private:
    QTemporaryDir dir_;
    QString link_;
    QString transcript_;
    QString device_;
    QProcess process_;
};

bool send(QSerialPort& port, const QByteArray& bytes) {
    port.write(bytes);
    return port.waitForBytesWritten(2000);
}

QByteArray receive(QSerialPort& port, qsizetype count) {
    QByteArray bytes;
    QElapsedTimer waited;
    waited.start();
    while (bytes.size() < count && waited.elapsed() < 5000) {
        if (port.bytesAvailable() > 0 || port.waitForReadyRead(100)) {
            bytes += port.readAll();
        }
    }
    return bytes;
}

} // namespace

class TestModuleSim : public QObject {
    Q_OBJECT

private slots:
    // Wake rule
    void frameWithoutWakeByteIsIgnored();
    void listeningStartsNineTenthsOfASecondAfterWake_data();
    void listeningStartsNineTenthsOfASecondAfterWake();
    void onlyTheFirstByteOfAFrameIsTimed();
    void moduleSleepsAgainAfterEachFrame();
    void wakeByteCutsOffAPartialFrame();

    // Frames and reply layouts
    void clockReadPutsTheClockAtPositions2To18();
    void clockRunsOnUnlessFrozen();
    void scheduleReadLayout_data();
    void scheduleReadLayout();
    void clockSetIsValidated_data();
    void clockSetIsValidated();
    void scheduleSetIsValidated_data();
    void scheduleSetIsValidated();
    void unknownFramesAreRefused_data();
    void unknownFramesAreRefused();
    void noAckSilencesOnlyAcknowledgements();

    // Fault modes
    void silentModuleNeverAnswers();
    void garbageKeepsLengthAndCarriageReturn();
    void lowercaseTouchesOnlyScheduleDigits();
    void noCrDropsTheCarriageReturn();
    void floodReplacesEveryAnswerRepeatably();

    // Command line
    void commandLineDefaultsAndValues();
    void badCommandLines_data();
    void badCommandLines();

    // The built tool on a pseudo-terminal
    void toolRejectsBadOptionsAndExplainsItself();
    void toolAnswersClockReadOverThePort();
    void toolIgnoresHastyFrameAndHangsUp();
    void toolDeliversAFloodCompletely();
};

void TestModuleSim::frameWithoutWakeByteIsIgnored() {
    ModuleState module = frozenModule();
    const Reaction reaction = module.receive("H\r", 5s, Wall);
    QVERIFY(reaction.send.isEmpty());
    const QJsonObject ignored = onlyEvent(reaction, "ignored");
    QCOMPARE(ignored.value("reason").toString(), QString("no wake byte"));
    QCOMPARE(ignored.value("text").toString(), QString("H\r"));
    QVERIFY(onlyEvent(reaction, "frame").isEmpty());
}

void TestModuleSim::listeningStartsNineTenthsOfASecondAfterWake_data() {
    QTest::addColumn<qint64>("gapNs");
    QTest::addColumn<QString>("ignoredReason"); // empty: the frame is answered

    QTest::newRow("same read") << qint64(0) << "too soon after wake byte (0.000 s)";
    QTest::newRow("0.412 s") << qint64(412'300'000) << "too soon after wake byte (0.412 s)";
    QTest::newRow("just under") << qint64(899'999'999) << "too soon after wake byte (0.899 s)";
    QTest::newRow("exactly 0.9 s") << qint64(900'000'000) << QString();
    QTest::newRow("program's 1 s") << qint64(1'000'000'000) << QString();
    QTest::newRow("long after") << qint64(30'000'000'000) << QString();
}

void TestModuleSim::listeningStartsNineTenthsOfASecondAfterWake() {
    QFETCH(qint64, gapNs);
    QFETCH(QString, ignoredReason);
    ModuleState module = frozenModule();
    const Reaction reaction = command(module, "H\r", 7s, Nanos(gapNs));
    if (ignoredReason.isEmpty()) {
        QCOMPARE(reaction.send, "T" + ClockText + "\r");
        QCOMPARE(onlyEvent(reaction, "frame").value("accepted").toBool(), true);
    } else {
        QVERIFY(reaction.send.isEmpty());
        QCOMPARE(onlyEvent(reaction, "ignored").value("reason").toString(), ignoredReason);
    }
}

void TestModuleSim::onlyTheFirstByteOfAFrameIsTimed() {
    ModuleState late = frozenModule();
    late.receive("\x80", 0s, Wall);
    QVERIFY(late.receive("H", 950ms, Wall).events.isEmpty());
    QCOMPARE(late.receive("\r", 960ms, Wall).send, "T" + ClockText + "\r");

    ModuleState early = frozenModule();
    early.receive("\x80", 0s, Wall);
    early.receive("B", 500ms, Wall);
    const Reaction rest = early.receive("00\r", 2s, Wall);
    QVERIFY(rest.send.isEmpty());
    QVERIFY(onlyEvent(rest, "ignored").value("reason").toString().startsWith("too soon"));
}

void TestModuleSim::moduleSleepsAgainAfterEachFrame() {
    ModuleState module = frozenModule();
    QVERIFY(!module.listening());
    module.receive("\x80", 0s, Wall);
    QVERIFY(module.listening());
    QVERIFY(!command(module, "H\r").send.isEmpty());
    QVERIFY(!module.listening());
    // A second frame needs its own wake byte, after a refused or ignored one too.
    QCOMPARE(onlyEvent(module.receive("H\r", 3s, Wall), "ignored").value("reason").toString(),
             QString("no wake byte"));
    command(module, "X\r", 4s);
    QVERIFY(module.receive("H\r", 6s, Wall).send.isEmpty());
    command(module, "H\r", 10s, 100ms);
    QVERIFY(module.receive("H\r", 12s, Wall).send.isEmpty());
    // A wake byte repeated before the frame restarts the wait.
    module.receive("\x80", 20s, Wall);
    QVERIFY(command(module, "H\r", 20500ms, 500ms).send.isEmpty());
}

void TestModuleSim::wakeByteCutsOffAPartialFrame() {
    ModuleState module = frozenModule();
    module.receive("\x80", 0s, Wall);
    module.receive("B0", 1s, Wall);
    const Reaction cut = module.receive("\x80", 1100ms, Wall);
    QCOMPARE(onlyEvent(cut, "ignored").value("reason").toString(), QString("cut off by wake byte"));
    QCOMPARE(onlyEvent(cut, "ignored").value("text").toString(), QString("B0"));
    QCOMPARE(module.receive("B00\r", 2100ms, Wall).send, QByteArray("SLOTS3,64\r"));
}

void TestModuleSim::clockReadPutsTheClockAtPositions2To18() {
    ModuleState module = frozenModule();
    const Reaction reaction = command(module, "H\r");
    // Positions counted from 1: "T", the clock text at 2-18, CR at 19.
    QCOMPARE(reaction.send.size(), 19);
    QCOMPARE(reaction.send.at(0), 'T');
    QCOMPARE(reaction.send.mid(1, 17), ClockText);
    QCOMPARE(reaction.send.at(18), '\r');
    const QJsonObject frame = onlyEvent(reaction, "frame");
    QCOMPARE(frame.value("text").toString(), QString("H\r"));
    QCOMPARE(frame.value("accepted").toBool(), true);
    QCOMPARE(frame.value("reason").toString(), QString("clock read"));
}

void TestModuleSim::clockRunsOnUnlessFrozen() {
    const qint64 startedAt = *parseClock("30/06/01 12:00:00");
    ModuleState running({}, ModuleClock(Wall, startedAt, false), {});
    running.receive("\x80", 0s, startedAt);
    QCOMPARE(running.receive("H\r", 1s, startedAt + 61'500).send, "T26/01/05 09:08:04\r");

    // A set clock runs on from the value set, across midnight and the year end.
    running.receive("\x80", 2s, startedAt);
    running.receive("h26/12/31 23:59:58\r", 3s, startedAt);
    running.receive("\x80", 4s, startedAt);
    QCOMPARE(running.receive("H\r", 5s, startedAt + 3'000).send, "T27/01/01 00:00:01\r");

    ModuleState frozen = frozenModule();
    frozen.receive("\x80", 0s, Wall);
    QCOMPARE(frozen.receive("H\r", 1s, Wall + 3'600'000).send, "T" + ClockText + "\r");
}

void TestModuleSim::scheduleReadLayout_data() {
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("onTime");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("defaults") << 3 << 100 << QByteArray("SLOTS3,64\r");
    QTest::newRow("lowest") << 0 << 1 << QByteArray("SLOTS0,01\r");
    QTest::newRow("letter digit") << 1 << 10 << QByteArray("SLOTS1,0A\r");
    QTest::newRow("highest") << 6 << 240 << QByteArray("SLOTS6,F0\r");
}

void TestModuleSim::scheduleReadLayout() {
    QFETCH(int, rate);
    QFETCH(int, onTime);
    QFETCH(QByteArray, reply);
    ModuleState module = frozenModule({}, {rate, onTime});
    const QByteArray sent = command(module, "B00\r").send;
    QCOMPARE(sent, reply);
    // Where the program reads: position 6 the rate digit, 8-9 the on-time.
    QCOMPARE(sent.at(5) - '0', rate);
    QCOMPARE(sent.mid(7, 2).toInt(nullptr, 16), onTime);
    QCOMPARE(onlyEvent(command(module, "B00\r"), "frame").value("reason").toString(),
             QString("schedule read"));
}

void TestModuleSim::clockSetIsValidated_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("usual") << QByteArray("26/03/15 14:30:00") << true;
    QTest::newRow("leap day") << QByteArray("24/02/29 23:59:59") << true;
    QTest::newRow("year 00") << QByteArray("00/01/01 00:00:00") << true;
    QTest::newRow("no leap day") << QByteArray("25/02/29 12:00:00") << false;
    QTest::newRow("month 13") << QByteArray("26/13/01 00:00:00") << false;
    QTest::newRow("month 00") << QByteArray("26/00/10 00:00:00") << false;
    QTest::newRow("day 32") << QByteArray("26/01/32 00:00:00") << false;
    QTest::newRow("day 00") << QByteArray("26/01/00 00:00:00") << false;
    QTest::newRow("hour 24") << QByteArray("26/01/05 24:00:00") << false;
    QTest::newRow("minute 60") << QByteArray("26/01/05 12:60:00") << false;
    QTest::newRow("second 60") << QByteArray("26/01/05 12:00:60") << false;
    QTest::newRow("dashes") << QByteArray("26-01-05 09:07:03") << false;
    QTest::newRow("16 characters") << QByteArray("26/01/05 09:07:3") << false;
    QTest::newRow("18 characters") << QByteArray("26/01/05 09:07:031") << false;
    QTest::newRow("leading blank") << QByteArray(" 6/01/05 09:07:03") << false;
    QTest::newRow("letter") << QByteArray("2a/01/05 09:07:03") << false;
    QTest::newRow("empty field") << QByteArray() << false;
}

void TestModuleSim::clockSetIsValidated() {
    QFETCH(QByteArray, text);
    QFETCH(bool, accepted);
    ModuleState module = frozenModule();
    const Reaction set = command(module, "h" + text + "\r");
    QCOMPARE(set.send, accepted ? QByteArray("OK\r") : QByteArray("NAK\r"));
    QCOMPARE(onlyEvent(set, "frame").value("accepted").toBool(), accepted);
    QCOMPARE(onlyEvent(set, "frame").value("text").toString(),
             QString::fromLatin1("h" + text + "\r"));
    QCOMPARE(onlyEvent(set, "clock").value("value").toString(),
             accepted ? QString::fromLatin1(text) : QString());
    const QByteArray expected = accepted ? text : ClockText;
    QCOMPARE(command(module, "H\r", 10s).send, "T" + expected + "\r");
}

void TestModuleSim::scheduleSetIsValidated_data() {
    QTest::addColumn<QByteArray>("codes");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("onTime");

    QTest::newRow("1 hour, 100 s") << QByteArray("0164") << true << 1 << 100;
    QTest::newRow("lowest") << QByteArray("0001") << true << 0 << 1;
    QTest::newRow("highest") << QByteArray("06F0") << true << 6 << 240;
    QTest::newRow("letter low digit") << QByteArray("020A") << true << 2 << 10;
    QTest::newRow("rate 07") << QByteArray("0764") << false << 3 << 100;
    QTest::newRow("rate 10") << QByteArray("1064") << false << 3 << 100;
    QTest::newRow("rate 0a") << QByteArray("0a64") << false << 3 << 100;
    QTest::newRow("on-time 00") << QByteArray("0300") << false << 3 << 100;
    QTest::newRow("on-time F1") << QByteArray("03F1") << false << 3 << 100;
    QTest::newRow("on-time FF") << QByteArray("03FF") << false << 3 << 100;
    QTest::newRow("lower-case f0") << QByteArray("03f0") << false << 3 << 100;
    QTest::newRow("not hex") << QByteArray("03G1") << false << 3 << 100;
    QTest::newRow("too short") << QByteArray("064") << false << 3 << 100;
    QTest::newRow("too long") << QByteArray("06400") << false << 3 << 100;
    QTest::newRow("empty") << QByteArray() << false << 3 << 100;
}

void TestModuleSim::scheduleSetIsValidated() {
    QFETCH(QByteArray, codes);
    QFETCH(bool, accepted);
    QFETCH(int, rate);
    QFETCH(int, onTime);
    ModuleState module = frozenModule();
    const Reaction set = command(module, "f" + codes + "\r");
    QCOMPARE(set.send, accepted ? QByteArray("OK\r") : QByteArray("NAK\r"));
    QCOMPARE(onlyEvent(set, "frame").value("accepted").toBool(), accepted);
    const QJsonObject changed = onlyEvent(set, "schedule");
    QCOMPARE(changed.isEmpty(), !accepted);
    if (accepted) {
        QCOMPARE(changed.value("rate").toInt(), rate);
        QCOMPARE(changed.value("on_time").toInt(), onTime);
    }
    QCOMPARE(module.schedule().rate, rate);
    QCOMPARE(module.schedule().onTime, onTime);
}

void TestModuleSim::unknownFramesAreRefused_data() {
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("B01") << QByteArray("B01\r");
    QTest::newRow("B0") << QByteArray("B0\r");
    QTest::newRow("lower-case b00") << QByteArray("b00\r");
    QTest::newRow("HH") << QByteArray("HH\r");
    QTest::newRow("line feed") << QByteArray("H\n\r");
    QTest::newRow("bare CR") << QByteArray("\r");
    QTest::newRow("high byte") << QByteArray("\xff\r");
}

void TestModuleSim::unknownFramesAreRefused() {
    QFETCH(QByteArray, frame);
    ModuleState module = frozenModule();
    const Reaction reaction = command(module, frame);
    QCOMPARE(reaction.send, QByteArray("NAK\r"));
    const QJsonObject event = onlyEvent(reaction, "frame");
    QCOMPARE(event.value("accepted").toBool(), false);
    QCOMPARE(event.value("reason").toString(), QString("unknown command"));
    QCOMPARE(event.value("text").toString(), QString::fromLatin1(frame));
}

void TestModuleSim::noAckSilencesOnlyAcknowledgements() {
    Behaviour quiet;
    quiet.ack = false;
    ModuleState module = frozenModule(quiet);
    QVERIFY(command(module, "f0510\r").send.isEmpty());
    QCOMPARE(module.schedule().onTime, 16);
    QVERIFY(command(module, "hnonsense\r").send.isEmpty());
    QVERIFY(command(module, "X\r").send.isEmpty());
    QCOMPARE(command(module, "B00\r").send, QByteArray("SLOTS5,10\r"));
    QCOMPARE(command(module, "H\r").send, "T" + ClockText + "\r");
}

void TestModuleSim::silentModuleNeverAnswers() {
    Behaviour silent;
    silent.fault = Fault::Silent;
    ModuleState module = frozenModule(silent);
    for (const QByteArray frame : {"H\r", "B00\r", "f0001\r", "h26/01/01 00:00:00\r", "X\r"}) {
        const Reaction reaction = command(module, frame);
        QVERIFY(reaction.send.isEmpty());
        QVERIFY(!onlyEvent(reaction, "frame").isEmpty());
    }
    QCOMPARE(module.schedule().onTime, 1);
}

void TestModuleSim::garbageKeepsLengthAndCarriageReturn() {
    Behaviour garbage;
    garbage.fault = Fault::Garbage;
    garbage.seed = 11;
    ModuleState module = frozenModule(garbage);
    for (const QByteArray frame : {"H\r", "B00\r", "f0001\r", "X\r"}) {
        ModuleState honest = frozenModule();
        const QByteArray proper = command(honest, frame).send;
        const QByteArray sent = command(module, frame).send;
        QCOMPARE(sent.size(), proper.size());
        QVERIFY(sent != proper);
        QVERIFY(sent.endsWith('\r'));
        for (const char c : sent.chopped(1)) {
            QVERIFY2(c >= 0x20 && c <= 0x7e, sent.toHex().constData());
        }
    }
}

void TestModuleSim::lowercaseTouchesOnlyScheduleDigits() {
    Behaviour lower;
    lower.fault = Fault::Lowercase;
    ModuleState module = frozenModule(lower, {2, 0xAB});
    QCOMPARE(command(module, "B00\r").send, QByteArray("SLOTS2,ab\r"));
    QCOMPARE(command(module, "H\r").send, "T" + ClockText + "\r");
    QCOMPARE(command(module, "f06F0\r").send, QByteArray("OK\r"));
    QCOMPARE(command(module, "B00\r").send, QByteArray("SLOTS6,f0\r"));
}

void TestModuleSim::noCrDropsTheCarriageReturn() {
    Behaviour noCr;
    noCr.fault = Fault::NoCr;
    ModuleState module = frozenModule(noCr);
    QCOMPARE(command(module, "H\r").send, "T" + ClockText);
    QCOMPARE(command(module, "B00\r").send, QByteArray("SLOTS3,64"));
    QCOMPARE(command(module, "f0001\r").send, QByteArray("OK"));
    QCOMPARE(command(module, "X\r").send, QByteArray("NAK"));
}

void TestModuleSim::floodReplacesEveryAnswerRepeatably() {
    Behaviour flood;
    flood.floodSize = 300;
    flood.seed = 42;
    ModuleState first = frozenModule(flood);
    ModuleState again = frozenModule(flood);
    flood.seed = 43;
    ModuleState other = frozenModule(flood);

    const QByteArray bytes = command(first, "H\r").send;
    QCOMPARE(bytes.size(), 300);
    QCOMPARE(command(again, "H\r").send, bytes);
    QVERIFY(command(other, "H\r").send != bytes);
    QVERIFY(std::any_of(bytes.begin(), bytes.end(), [](char c) { return c & 0x80; }));
    // Refused frames are flooded too; frames the module did not hear are not.
    QCOMPARE(command(first, "X\r").send.size(), 300);
    QVERIFY(first.receive("H\r", 60s, Wall).send.isEmpty());
}

void TestModuleSim::commandLineDefaultsAndValues() {
    const CommandLine plain = parseCommandLine({"sim"});
    QVERIFY(plain.error.isEmpty());
    QVERIFY(!plain.helpRequested);
    QCOMPARE(plain.options.schedule.rate, 3);
    QCOMPARE(plain.options.schedule.onTime, 100);
    QVERIFY(plain.options.behaviour.ack);
    QVERIFY(plain.options.behaviour.fault == Fault::None);
    QVERIFY(!plain.options.clockStartWallMs.has_value());
    QVERIFY(!plain.options.frozen);
    QCOMPARE(plain.options.hangupAfter, qint64(0));

    const CommandLine full = parseCommandLine({"sim",
                                               "--link",
                                               "/tmp/x/COM1",
                                               "--transcript",
                                               "t.jsonl",
                                               "--clock",
                                               "26/01/05 09:07:03",
                                               "--frozen",
                                               "--rate",
                                               "0",
                                               "--on-time",
                                               "240",
                                               "--no-ack",
                                               "--delay",
                                               "250",
                                               "--flood",
                                               "64",
                                               "--seed",
                                               "4294967295",
                                               "--hangup-after",
                                               "12"});
    QCOMPARE(full.error, QString());
    QCOMPARE(full.options.linkPath, QString("/tmp/x/COM1"));
    QCOMPARE(full.options.transcriptPath, QString("t.jsonl"));
    QCOMPARE(full.options.clockStartWallMs.value_or(0), Wall);
    QVERIFY(full.options.frozen);
    QCOMPARE(full.options.schedule.rate, 0);
    QCOMPARE(full.options.schedule.onTime, 240);
    QVERIFY(!full.options.behaviour.ack);
    QCOMPARE(full.options.delayMs, 250);
    QCOMPARE(full.options.behaviour.floodSize, 64);
    QCOMPARE(full.options.behaviour.seed, 4294967295U);
    QVERIFY(full.options.seedGiven);
    QCOMPARE(full.options.hangupAfter, qint64(12));

    for (const char* name : {"silent", "garbage", "lowercase", "no-cr"}) {
        QVERIFY2(parseCommandLine({"sim", "--fault", name}).error.isEmpty(), name);
    }
    QVERIFY(parseCommandLine({"sim", "--help"}).helpRequested);
}

void TestModuleSim::badCommandLines_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("mentions");

    QTest::newRow("rate 7") << QStringList{"--rate", "7"} << "--rate";
    QTest::newRow("rate word") << QStringList{"--rate", "four"} << "--rate";
    QTest::newRow("on-time 0") << QStringList{"--on-time", "0"} << "--on-time";
    QTest::newRow("on-time 241") << QStringList{"--on-time", "241"} << "--on-time";
    QTest::newRow("fault name") << QStringList{"--fault", "loud"} << "--fault";
    QTest::newRow("clock date") << QStringList{"--clock", "26/02/30 10:00:00"} << "--clock";
    QTest::newRow("clock layout") << QStringList{"--clock", "2026-01-05 09:07"} << "--clock";
    QTest::newRow("negative delay") << QStringList{"--delay", "-1"} << "--delay";
    QTest::newRow("flood 0") << QStringList{"--flood", "0"} << "--flood";
    QTest::newRow("flood and fault")
        << QStringList{"--flood", "5", "--fault", "garbage"} << "--flood";
    QTest::newRow("seed too big") << QStringList{"--seed", "4294967296"} << "--seed";
    QTest::newRow("hangup 0") << QStringList{"--hangup-after", "0"} << "--hangup-after";
    QTest::newRow("unknown option") << QStringList{"--baud", "9600"} << "baud";
    QTest::newRow("missing value") << QStringList{"--rate"} << "rate";
    QTest::newRow("stray argument") << QStringList{"COM1"} << "COM1";
}

void TestModuleSim::badCommandLines() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, mentions);
    const CommandLine parsed = parseCommandLine(QStringList{"sim"} + arguments);
    QVERIFY(!parsed.error.isEmpty());
    QVERIFY(!parsed.error.contains('\n'));
    QVERIFY2(parsed.error.contains(mentions), qPrintable(parsed.error));
}

void TestModuleSim::toolRejectsBadOptionsAndExplainsItself() {
    QProcess bad;
    bad.start(VELKARO_MODULE_SIM, {"--on-time", "300"});
    QVERIFY(bad.waitForFinished(5000));
    QCOMPARE(bad.exitCode(), 2);
    const QByteArray error = bad.readAllStandardError();
    QCOMPARE(error.count('\n'), 1);
    QVERIFY(error.startsWith("velkaro-module-sim: --on-time"));
    QVERIFY(bad.readAllStandardOutput().isEmpty());

    QProcess help;
    help.start(VELKARO_MODULE_SIM, {"--help"});
    QVERIFY(help.waitForFinished(5000));
    QCOMPARE(help.exitCode(), 0);
    const QByteArray text = help.readAllStandardOutput();
    for (const char* documented : {"--hangup-after", "--flood", "SLOTS3,64", "\"dir\":\"rx\"",
                                   "\"event\":\"opened\"", "\"on_time\"", "no wake byte"}) {
        QVERIFY2(text.contains(documented), documented);
    }
}

void TestModuleSim::toolAnswersClockReadOverThePort() {
    RunningSimulator simulator(
        {"--clock", QString::fromLatin1(ClockText), "--frozen", "--delay", "200"});
    QVERIFY(simulator.device().startsWith("/dev/"));
    QCOMPARE(QFileInfo(simulator.link()).symLinkTarget(), simulator.device());

    QSerialPort port;
    port.setPortName(simulator.link());
    port.setBaudRate(QSerialPort::Baud9600);
    port.setParity(QSerialPort::NoParity);
    port.setDataBits(QSerialPort::Data8);
    port.setStopBits(QSerialPort::TwoStop);
    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));

    QVERIFY(send(port, "H\r")); // asleep: not heard
    QVERIFY(send(port, "\x80"));
    QTest::qWait(1000);
    QVERIFY(send(port, "H\r"));
    QCOMPARE(receive(port, 19), "T" + ClockText + "\r");
    port.close();
    QTRY_VERIFY_WITH_TIMEOUT(simulator.transcriptHas("closed"), 5000);

    simulator.process().terminate();
    QVERIFY(simulator.process().waitForFinished(5000));
    QCOMPARE(simulator.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(simulator.process().exitCode(), 0);
    QVERIFY(!QFileInfo::exists(simulator.link()) && !QFileInfo(simulator.link()).isSymLink());

    const QList<QJsonObject> transcript = simulator.transcript();
    const QList<QJsonObject> events = eventsOf(transcript);
    QCOMPARE(events.size(), 4);
    QCOMPARE(events[0].value("event").toString(), QString("opened"));
    QCOMPARE(events[0].value("speed").toInt(), 9600);
    QCOMPARE(events[0].value("data").toInt(), 8);
    QCOMPARE(events[0].value("parity").toString(), QString("n"));
    QCOMPARE(events[0].value("stop").toInt(), 2);
    QCOMPARE(events[1].value("event").toString(), QString("ignored"));
    QCOMPARE(events[1].value("reason").toString(), QString("no wake byte"));
    QCOMPARE(events[2].value("event").toString(), QString("frame"));
    QCOMPARE(events[2].value("text").toString(), QString("H\r"));
    QCOMPARE(events[2].value("accepted").toBool(), true);
    QCOMPARE(events[3].value("event").toString(), QString("closed"));
    QCOMPARE(bytesOf(transcript, "rx"), QByteArray("H\r\x80H\r"));
    QCOMPARE(bytesOf(transcript, "tx"), "T" + ClockText + "\r");

    double wokeAt = 0;
    double last = 0;
    for (const QJsonObject& line : transcript) {
        const double t = line.value("t").toDouble();
        QVERIFY(t >= last);
        last = t;
        if (line.value("hex").toString() == QLatin1String("80")) {
            wokeAt = t;
        }
        if (line.value("event").toString() == QLatin1String("frame")) {
            QVERIFY(t - wokeAt >= 0.9);
        }
        if (line.value("dir").toString() == QLatin1String("tx")) {
            QVERIFY(t - events[2].value("t").toDouble() >= 0.2); // --delay 200
        }
    }
}

void TestModuleSim::toolIgnoresHastyFrameAndHangsUp() {
    RunningSimulator simulator({"--hangup-after", "9"});
    QSerialPort port;
    port.setPortName(simulator.link());
    // A Linux pseudo-terminal keeps the speed and stop bits it is given but
    // always runs 8 data bits without parity, so only those two can differ.
    port.setBaudRate(QSerialPort::Baud19200);
    port.setStopBits(QSerialPort::OneStop);
    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));

    QVERIFY(send(port, "\x80"));
    QVERIFY(send(port, "B00\r"));
    QTRY_VERIFY_WITH_TIMEOUT(simulator.transcriptHas("ignored"), 5000);
    QVERIFY(send(port, "HHHHHH")); // the line goes after the ninth byte
    QVERIFY(simulator.process().waitForFinished(5000));
    QCOMPARE(simulator.process().exitCode(), 0);
    QVERIFY(port.readAll().isEmpty());
    QVERIFY(!QFileInfo(simulator.link()).isSymLink());

    const QList<QJsonObject> transcript = simulator.transcript();
    const QList<QJsonObject> events = eventsOf(transcript);
    QCOMPARE(events.size(), 3);
    QCOMPARE(events[0].value("event").toString(), QString("opened"));
    QCOMPARE(events[0].value("speed").toInt(), 19200);
    QCOMPARE(events[0].value("stop").toInt(), 1);
    QVERIFY(events[1].value("reason").toString().startsWith("too soon after wake byte (0."));
    QCOMPARE(events[1].value("text").toString(), QString("B00\r"));
    QCOMPARE(events[2].value("event").toString(), QString("hangup"));
    QCOMPARE(bytesOf(transcript, "rx"), QByteArray("\x80"
                                                   "B00\rHHHH"));
    QVERIFY(bytesOf(transcript, "tx").isEmpty());
}

void TestModuleSim::toolDeliversAFloodCompletely() {
    // Far more than a pseudo-terminal buffers, so sending has to wait for the reader.
    constexpr int FloodSize = 200'000;
    RunningSimulator simulator({"--flood", QString::number(FloodSize), "--seed", "5"});
    QSerialPort port;
    port.setPortName(simulator.link());
    port.setBaudRate(QSerialPort::Baud9600);
    port.setStopBits(QSerialPort::TwoStop);
    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));

    QVERIFY(send(port, "\x80"));
    QTest::qWait(1000);
    QVERIFY(send(port, "H\r"));
    const QByteArray received = receive(port, FloodSize);

    Behaviour flood;
    flood.floodSize = FloodSize;
    flood.seed = 5;
    ModuleState expected = frozenModule(flood);
    QCOMPARE(received.size(), FloodSize);
    QVERIFY(received == command(expected, "H\r").send);
    QTRY_COMPARE_WITH_TIMEOUT(bytesOf(simulator.transcript(), "tx").size(), FloodSize, 5000);
}

QTEST_GUILESS_MAIN(TestModuleSim)
#include "tst_modulesim.moc"
