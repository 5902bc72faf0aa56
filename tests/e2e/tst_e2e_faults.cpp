#include "e2efixture.h"
#include "polling.h"
#include "screenpixels.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>
#include <QThread>

#include <chrono>
#include <memory>

using E2e::CR;
using E2e::portRecord;
using E2e::Wake;
using WindowLayout::Control;
using StandardError = E2eFixture::StandardError;

// What goes wrong around the program, end to end: modules that hang up,
// stay silent, babble or flood the line; ports held by another program;
// a port number file that cannot be used; Exit and the window's close
// arriving in the middle of a transaction. Every case ends by showing that
// the program is still alive and answers the operator: it switches to a
// healthy module, reads its clock and sends it back.
//
// Random bytes (garbage and flood answers, port number files) come from one
// seed, printed at the start; VELKARO_FAULTS_SEED repeats a run.
class TestE2eFaults : public E2eSuite {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void farEndHangingUpDuringThePauseLosesOnlyTheFrame();
    void farEndHangingUpWhileRepliesArriveClosesThePort();
    void portInUseAtStartUpShowsNotValid();
    void portInUseWhenPickedShowsNotValidAndIsStored();
    void silentModuleLeavesTheFieldsAsTheyWere();
    void garbageRepliesAreDecodedByPosition();
    void lowerCaseHexDigitsCountByTheHexDigitRule();
    void repliesWithoutCarriageReturnAreNotDecoded();
    void unansweredClockReadLetsTheNextAnswerFillTheClockField();
    void floodOfOneMebibyteIsDrainedInBoundedMemory();
    void unusablePortFile_data();
    void unusablePortFile();
    void portFilesOfEveryShortLengthGiveAPortAndStayUntouched();
    void exitDuringAnEventPassSendsNothingMore();
    void closeDuringAnEventPassSendsNothingMore();

private:
    // The healthy module behind SparePort that verifyResponsive() talks to.
    SimulatedModule* startSpare();
    // A module with `options` behind COM1, the spare, and the program, which
    // opens COM1 when it has no port number file.
    SimulatedModule* startWithSpare(const QStringList& options);
    // Waits until the port label reads "Not valid" (`shown`), or anything
    // else.
    bool waitForNotValid(bool shown = true);
    // A module behind COM3 whose port another velkaro, from a folder of its
    // own, holds open.
    bool holdPort();
    // The held module saw no open and no byte beyond the holder's.
    void verifyHeldPortUntouched();
    bool setImmutable(const QString& path);
    // The program switches to the spare module, reads its clock into the
    // emptied clock field and sends it back with "Set into".
    void verifyResponsive();
    void endDuringAnEventPass(bool (ProgramRun::*end)());

    quint32 seed_ = 0;
    QImage notValid_; // the port label showing "Not valid"
    std::unique_ptr<E2eFixture> holder_;
    SimulatedModule* spare_ = nullptr;
    SimulatedModule* held_ = nullptr;
    int heldOpens_ = 0;
    QStringList immutable_;
};

namespace {

constexpr int SparePort = 2;
constexpr int HeldPort = 3;
constexpr int MissingPort = 8;
const QByteArray SpareClock = "24/02/29 13:14:15";
constexpr quint32 DefaultSeed = 20260105;
constexpr qint64 MiB = 1024 * 1024;

// A character of the on-time: above the colon counts from "A" = 10, anything
// else from "0" = 0.
int hexDigitValue(char c) {
    const int code = static_cast<unsigned char>(c);
    return code > 58 ? code - 55 : code - 48;
}

double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool runChattr(const QString& flag, const QString& path) {
    QProcess chattr;
    chattr.start(QStringLiteral("chattr"), {flag, path});
    return chattr.waitForFinished() && chattr.exitStatus() == QProcess::NormalExit &&
           chattr.exitCode() == 0;
}

// The lines of the program's standard error that name the port number file.
int portFileComplaints(const QByteArray& standardError) {
    int lines = 0;
    for (const QByteArray& line : standardError.split('\n')) {
        if (line.contains("COM-BAUD.txt")) {
            ++lines;
        }
    }
    return lines;
}

} // namespace

void TestE2eFaults::initTestCase() {
    seed_ = E2e::seedFrom("VELKARO_FAULTS_SEED", DefaultSeed);
    E2eSuite::initTestCase();
    if (!display_->isOpen()) {
        return;
    }
    // How this program draws "Not valid": a configured port that is missing
    // shows it from the start.
    E2eFixture stage(*display_);
    QVERIFY2(stage.isReady(), qPrintable(stage.error()));
    QVERIFY(stage.writePortFile(portRecord(MissingPort)));
    ProgramRun* program = stage.startProgram();
    QVERIFY(program);
    const QRect inside = WindowLayout::rect(Control::Label3_0)
                             .translated(-WindowLayout::rect(Control::Label3_0).topLeft())
                             .adjusted(2, 2, -2, -2);
    QImage previous;
    QVERIFY2(Polling::waitUntil(
                 [&] {
                     const QImage picture = program->grab(Control::Label3_0);
                     const bool settled =
                         picture == previous &&
                         ScreenPixels::count(picture, ScreenPixels::isInk, inside) > 0;
                     previous = picture;
                     return settled;
                 },
                 Polling::ScreenTimeoutMs),
             "the port label shows no text");
    notValid_ = previous;
    QVERIFY2(program->chooseExit(), qPrintable(program->error()));
    QVERIFY2(program->waitForExit(), qPrintable(program->error()));
}

void TestE2eFaults::init() {
    E2eSuite::init();
    spare_ = nullptr;
    held_ = nullptr;
}

void TestE2eFaults::cleanup() {
    for (const QString& path : std::as_const(immutable_)) {
        runChattr(QStringLiteral("-i"), path);
    }
    immutable_.clear();
    holder_.reset();
    E2eSuite::cleanup();
}

SimulatedModule* TestE2eFaults::startSpare() {
    spare_ = fixture_->startModule(
        SparePort,
        {QStringLiteral("--clock"), QString::fromLatin1(SpareClock), QStringLiteral("--frozen")});
    return spare_;
}

SimulatedModule* TestE2eFaults::startWithSpare(const QStringList& options) {
    return startSpare() != nullptr ? fixture_->startWithModule(options) : nullptr;
}

bool TestE2eFaults::waitForNotValid(bool shown) {
    return Polling::waitUntil(
        [&] { return (fixture_->program().grab(Control::Label3_0) == notValid_) == shown; },
        Polling::ScreenTimeoutMs);
}

bool TestE2eFaults::holdPort() {
    held_ = fixture_->startModule(HeldPort);
    if (held_ == nullptr) {
        return false;
    }
    holder_ = std::make_unique<E2eFixture>(*display_);
    // The holder has no port number file, so it opens its COM1.
    if (!holder_->isReady() || !holder_->linkPort(1, held_->devicePath()) ||
        holder_->startProgram() == nullptr) {
        qWarning("%s", qPrintable(holder_->error()));
        return false;
    }
    if (!fixture_->waitForLastEvent(*held_, QStringLiteral("opened"))) {
        return false;
    }
    // Its start-up opens the port twice; let the module tell both.
    QTest::qWait(300);
    heldOpens_ = held_->transcript().count(QStringLiteral("opened"));
    return held_->transcript().lastEvent() == QLatin1String("opened");
}

void TestE2eFaults::verifyHeldPortUntouched() {
    const Transcript heldSaw = held_->transcript();
    QCOMPARE(heldSaw.count(QStringLiteral("opened")), heldOpens_);
    QCOMPARE(heldSaw.lastEvent(), QStringLiteral("opened"));
    QVERIFY2(heldSaw.received().isEmpty(), qPrintable(held_->transcriptText()));
}

bool TestE2eFaults::setImmutable(const QString& path) {
    if (!runChattr(QStringLiteral("+i"), path)) {
        return false;
    }
    immutable_.append(path);
    return true;
}

void TestE2eFaults::verifyResponsive() {
    QVERIFY2(spare_, "no spare module");
    ProgramRun& program = fixture_->program();
    QVERIFY2(program.isRunning(), "the program has ended");
    QVERIFY(fixture_->switchPort(SparePort, *spare_));

    const int frames = spare_->transcript().count(QStringLiteral("frame"));
    QVERIFY2(program.emptyClockField(), qPrintable(program.error()));
    QVERIFY2(fixture_->waitForText(Control::TextCMD13, false), "the clock field cannot be emptied");
    QVERIFY(fixture_->clickForFrame(Control::Command1, *spare_, frames + 1));
    QVERIFY2(fixture_->waitForText(Control::TextCMD13), "the clock reply was not decoded");
    QVERIFY(fixture_->clickForFrame(Control::CMD13, *spare_, frames + 2));

    const QList<QByteArray> heard = spare_->transcript().frames();
    QCOMPARE(heard.mid(frames), (QList<QByteArray>{"H" + CR, "h" + SpareClock + CR}));
    QVERIFY2(program.isRunning(), "the program has ended");
}

void TestE2eFaults::farEndHangingUpDuringThePauseLosesOnlyTheFrame() {
    SimulatedModule* module =
        startWithSpare({QStringLiteral("--hangup-after"), QStringLiteral("1")});
    QVERIFY(module);
    ProgramRun& program = fixture_->program();

    // The module closes the line right after the wake byte, while the
    // program pauses; the frame after the pause has nowhere to go.
    QVERIFY2(program.click(Control::Command1), qPrintable(program.error()));
    QVERIFY(fixture_->waitForEvents(*module, QStringLiteral("hangup"), 1));
    QCOMPARE(module->transcript().received(), Wake);
    // Sends on the vanished port are dropped.
    QVERIFY2(program.click(Control::Command6), qPrintable(program.error()));
    verifyResponsive();
}

void TestE2eFaults::farEndHangingUpWhileRepliesArriveClosesThePort() {
    const int flood = 200000;
    // Clock read (3 bytes) starts the flood; the next wake byte ends the line.
    SimulatedModule* module = startWithSpare(
        {QStringLiteral("--flood"), QString::number(flood), QStringLiteral("--seed"),
         QString::number(seed_), QStringLiteral("--hangup-after"), QStringLiteral("4")});
    QVERIFY(module);
    ProgramRun& program = fixture_->program();

    QVERIFY(fixture_->clickForFrame(Control::Command1, *module, 1));
    QVERIFY(Polling::waitUntil([&] { return !module->transcript().sent().isEmpty(); },
                               Polling::ExchangeTimeoutMs));
    QVERIFY2(program.click(Control::Command6), qPrintable(program.error()));
    QVERIFY(fixture_->waitForEvents(*module, QStringLiteral("hangup"), 1));

    const Transcript transcript = module->transcript();
    QCOMPARE(transcript.received(), Wake + "H" + CR + Wake);
    const qsizetype sent = transcript.sent().size();
    qInfo("the line went down after %lld of %d flood bytes", qlonglong(sent), flood);
    QVERIFY2(sent < flood, "the flood was over before the line went down");
    verifyResponsive();
}

void TestE2eFaults::portInUseAtStartUpShowsNotValid() {
    QVERIFY(startSpare());
    QVERIFY(holdPort());
    QVERIFY(fixture_->writePortFile(portRecord(HeldPort)));
    ProgramRun* program = fixture_->startProgram();
    QVERIFY(program);
    QVERIFY2(waitForNotValid(), "the port label does not read \"Not valid\"");
    // Nothing the program sends on the port it could not open arrives.
    QVERIFY2(program->click(Control::Command1), qPrintable(program->error()));
    verifyResponsive();

    QCOMPARE(fixture_->portFile(), portRecord(SparePort));
    verifyHeldPortUntouched();
}

void TestE2eFaults::portInUseWhenPickedShowsNotValidAndIsStored() {
    SimulatedModule* first = fixture_->startModule(1);
    QVERIFY(first);
    QVERIFY(startSpare());
    QVERIFY(holdPort());
    QVERIFY(fixture_->writePortFile(portRecord(1)));
    ProgramRun* program = fixture_->startProgramOn(*first);
    QVERIFY(program);
    QVERIFY2(waitForNotValid(false), "port 1 shows \"Not valid\"");

    QVERIFY2(program->pickPort(HeldPort), qPrintable(program->error()));
    QVERIFY(fixture_->waitForLastEvent(*first, QStringLiteral("closed")));
    QVERIFY2(waitForNotValid(), "the port label does not read \"Not valid\"");
    // The pick is stored although the port could not be opened.
    QVERIFY(Polling::waitUntil([&] { return fixture_->portFile() == portRecord(HeldPort); },
                               Polling::ExchangeTimeoutMs));
    QVERIFY2(program->click(Control::Command1), qPrintable(program->error()));
    verifyResponsive();

    QVERIFY2(first->transcript().received().isEmpty(), qPrintable(first->transcriptText()));
    verifyHeldPortUntouched();
}

void TestE2eFaults::silentModuleLeavesTheFieldsAsTheyWere() {
    SimulatedModule* module = startWithSpare({QStringLiteral("--fault"), QStringLiteral("silent")});
    QVERIFY(module);

    QVERIFY(fixture_->clickForFrame(Control::Command1, *module, 1));
    // The clock field stays empty, so "Set into" sends an empty clock text.
    QVERIFY(fixture_->clickForFrame(Control::CMD13, *module, 2));
    const Transcript transcript = module->transcript();
    QCOMPARE(transcript.frames(), (QList<QByteArray>{"H" + CR, "h" + CR}));
    QVERIFY(transcript.sent().isEmpty());
    verifyResponsive();
}

void TestE2eFaults::garbageRepliesAreDecodedByPosition() {
    SimulatedModule* module = startWithSpare({QStringLiteral("--fault"), QStringLiteral("garbage"),
                                              QStringLiteral("--seed"), QString::number(seed_)});
    QVERIFY(module);

    // Clock read, then "Set into" sends back what the field took from the
    // garbage: the characters at the clock positions, with the separators.
    QVERIFY(fixture_->clickForFrame(Control::Command1, *module, 1));
    QVERIFY2(fixture_->waitForText(Control::TextCMD13), "the garbage clock reply was not decoded");
    QVERIFY(fixture_->clickForFrame(Control::CMD13, *module, 2));
    const QByteArray clockAnswer = module->transcript().answerTo(0);
    QVERIFY2(clockAnswer.endsWith('\r'), qPrintable(module->transcriptText()));
    QCOMPARE(module->transcript().frames().at(1), "h" + E2e::clockFieldFrom(clockAnswer) + CR);

    // Schedule read, then "Set into" sends the rate and on-time the garbage
    // gave, or the first rate and the 240 the bar started with.
    QVERIFY(fixture_->clickForFrame(Control::Command6, *module, 3));
    QVERIFY2(fixture_->waitForText(Control::Text3), "the garbage schedule reply was not decoded");
    QVERIFY(fixture_->clickForFrame(Control::CMDS34, *module, 4));
    const QByteArray scheduleAnswer = module->transcript().answerTo(2);
    QVERIFY2(scheduleAnswer.size() >= 9, qPrintable(module->transcriptText()));
    const char rateChar = scheduleAnswer.at(5);
    const int rateDigit = (rateChar >= '0' && rateChar <= '9') ? rateChar - '0' : 0;
    const int onTime =
        16 * hexDigitValue(scheduleAnswer.at(7)) + hexDigitValue(scheduleAnswer.at(8));
    const QByteArray onTimeCode = E2e::hexCode(onTime >= 1 && onTime <= 240 ? onTime : 240);
    const QByteArray sent = module->transcript().frames().at(3);
    qInfo("garbage schedule answer \"%s\" gave the frame \"%s\"",
          scheduleAnswer.trimmed().constData(), sent.trimmed().constData());
    if (rateDigit <= 6) {
        QCOMPARE(sent, "f0" + QByteArray::number(rateDigit) + onTimeCode + CR);
    } else {
        // No entry has that number: the rate is left to the program, within
        // the seven entries.
        QVERIFY2(sent.size() == 6 && sent.startsWith("f0") && sent.at(2) >= '0' &&
                     sent.at(2) <= '6' && sent.sliced(3) == onTimeCode + CR,
                 sent.constData());
    }
    verifyResponsive();
}

void TestE2eFaults::lowerCaseHexDigitsCountByTheHexDigitRule() {
    const int onTime = 42; // "2A", sent as "2a"
    SimulatedModule* module = startWithSpare(
        {QStringLiteral("--fault"), QStringLiteral("lowercase"), QStringLiteral("--rate"),
         QStringLiteral("3"), QStringLiteral("--on-time"), QString::number(onTime)});
    QVERIFY(module);

    QVERIFY(fixture_->clickForFrame(Control::Command6, *module, 1));
    QVERIFY2(fixture_->waitForText(Control::Text3), "the schedule reply was not decoded");
    const QByteArray answer = module->transcript().answerTo(0);
    QCOMPARE(answer, "SLOTS3," + E2e::hexCode(onTime).toLower() + CR);

    // "Set into" sends the on-time the window took from the reply.
    QVERIFY(fixture_->clickForFrame(Control::CMDS34, *module, 2));
    const int decoded = 16 * hexDigitValue(answer.at(7)) + hexDigitValue(answer.at(8));
    QCOMPARE(module->transcript().frames().at(1), "f03" + E2e::hexCode(decoded) + CR);
    verifyResponsive();
}

void TestE2eFaults::repliesWithoutCarriageReturnAreNotDecoded() {
    SimulatedModule* module = startWithSpare({QStringLiteral("--fault"), QStringLiteral("no-cr")});
    QVERIFY(module);

    QVERIFY(fixture_->clickForFrame(Control::Command1, *module, 1));
    QVERIFY(Polling::waitUntil([&] { return !module->transcript().sent().isEmpty(); },
                               Polling::ExchangeTimeoutMs));
    QVERIFY(!module->transcript().sent().contains('\r'));
    // Many ticks later the clock field is still empty.
    QTest::qWait(500);
    QVERIFY2(fixture_->waitForText(Control::TextCMD13, false), "a reply without CR was decoded");
    QVERIFY(fixture_->clickForFrame(Control::CMD13, *module, 2));
    QCOMPARE(module->transcript().frames(), (QList<QByteArray>{"H" + CR, "h" + CR}));
    verifyResponsive();
}

// A clock read that gets no answer leaves the receive log empty and the
// decoder on clock replies. The next clock set appends its CR LF to the log;
// the module's answer to it then decodes from position 1: the clock field
// takes the line feed and the answer's own carriage return, and the clock set
// after that sends them on unchanged. The module hears the frame up to that
// carriage return and ignores the rest, which comes without a wake byte.
void TestE2eFaults::unansweredClockReadLetsTheNextAnswerFillTheClockField() {
    QVERIFY(startSpare());
    QVERIFY(fixture_->writePortFile(portRecord(MissingPort)));
    ProgramRun* program = fixture_->startProgram();
    QVERIFY(program);
    QVERIFY2(waitForNotValid(), "the missing port does not show \"Not valid\"");

    QVERIFY2(program->click(Control::Command1), qPrintable(program->error()));
    QVERIFY(fixture_->switchPort(SparePort, *spare_));
    QVERIFY(fixture_->clickForFrame(Control::CMD13, *spare_, 1));
    QCOMPARE(spare_->transcript().frames(), QList<QByteArray>{"h" + CR});
    QVERIFY2(fixture_->waitForText(Control::TextCMD13), "the answer was not decoded");
    const QByteArray answer = spare_->transcript().answerTo(0);
    QVERIFY2(answer.endsWith('\r'), qPrintable(spare_->transcriptText()));
    const QByteArray clockField = E2e::clockFieldFrom("\r\n" + answer + "\n");

    const qsizetype before = spare_->transcript().received().size();
    QVERIFY2(program->click(Control::CMD13), qPrintable(program->error()));
    QVERIFY(fixture_->waitForEvents(*spare_, QStringLiteral("ignored"), 1));
    const Transcript transcript = spare_->transcript();
    QCOMPARE(transcript.received().sliced(before), Wake + "h" + clockField + CR);
    const qsizetype lineBreak = clockField.indexOf('\r');
    QVERIFY2(lineBreak > 0, clockField.toHex().constData());
    QCOMPARE(transcript.frames().constLast(), "h" + clockField.first(lineBreak + 1));
    const QList<Transcript::Entry> ignored = transcript.events(QStringLiteral("ignored"));
    QCOMPARE(ignored.size(), 1);
    QVERIFY(ignored.constFirst()
                .fields.value(QStringLiteral("reason"))
                .toString()
                .startsWith(QLatin1String("no wake byte")));
    verifyResponsive();
}

void TestE2eFaults::floodOfOneMebibyteIsDrainedInBoundedMemory() {
    // Two floods of half a mebibyte, one right after the other.
    const int half = 512 * 1024;
    SimulatedModule* module = startWithSpare({QStringLiteral("--flood"), QString::number(half),
                                              QStringLiteral("--seed"), QString::number(seed_)});
    QVERIFY(module);
    ProgramRun& program = fixture_->program();
    QTest::qWait(1000);
    const qint64 before = program.residentKiB();
    QVERIFY2(before > 0, "cannot read the program's VmRSS");

    QVERIFY(fixture_->clickForFrame(Control::Command1, *module, 1));
    const double started = monotonicSeconds();
    QVERIFY(fixture_->clickForFrame(Control::Command6, *module, 2));
    // The simulator can only send what the program takes off the line.
    qint64 peak = before;
    qint64 sent = 0;
    const bool drained = Polling::waitUntil(
        [&] {
            peak = std::max(peak, program.residentKiB());
            sent = module->transcript().sent().size();
            if (sent < 2 * half) {
                QThread::msleep(250);
            }
            return sent == 2 * half;
        },
        4 * 60 * 1000);
    const double seconds = monotonicSeconds() - started;
    QVERIFY2(
        drained,
        qPrintable(QStringLiteral("only %1 of %2 bytes left the module").arg(sent).arg(2 * half)));
    for (int i = 0; i < 12; ++i) {
        QTest::qWait(250);
        peak = std::max(peak, program.residentKiB());
    }
    const qint64 after = program.residentKiB();
    qInfo("flood of %d bytes drained in %.1f s (%.1f KiB/s); VmRSS before %lld KiB, peak %lld "
          "KiB, after %lld KiB",
          2 * half, seconds, 2 * half / 1024.0 / seconds, qlonglong(before), qlonglong(peak),
          qlonglong(after));
#ifndef __SANITIZE_ADDRESS__
    // AddressSanitizer keeps freed memory in quarantine: no bound to check there.
    QVERIFY2((peak - before) * 1024 < 60 * MiB,
             qPrintable(QStringLiteral("VmRSS grew by %1 KiB").arg(peak - before)));
#endif
    QVERIFY2(after > 0, "the program has ended");
    verifyResponsive();
}

void TestE2eFaults::unusablePortFile_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("program folder not writable, no file") << QStringLiteral("folder");
    QTest::newRow("file not writable") << QStringLiteral("file");
    QTest::newRow("file is a folder") << QStringLiteral("directory");
}

// The port number file is opened for reading and writing at start-up too, so
// none of these can be read: the program runs on port 1 and says so once on
// its standard error. A pick then switches the port but cannot store it.
void TestE2eFaults::unusablePortFile() {
    QFETCH(QString, kind);
    SimulatedModule* first = fixture_->startModule(1);
    QVERIFY(first);
    QVERIFY(startSpare());
    const QString path = fixture_->portFilePath();
    const QByteArray record = portRecord(3);
    // We are root: an immutable folder or file is what refuses us a write.
    if (kind == QLatin1String("folder")) {
        if (!setImmutable(fixture_->programFolder())) {
            QSKIP("chattr +i does not work on this file system");
        }
    } else if (kind == QLatin1String("file")) {
        QVERIFY(fixture_->writePortFile(record));
        if (!setImmutable(path)) {
            QSKIP("chattr +i does not work on this file system");
        }
    } else {
        QVERIFY(QDir().mkdir(path));
    }

    ProgramRun* program = fixture_->startProgramOn(*first, StandardError::Captured);
    QVERIFY(program);
    QVERIFY2(waitForNotValid(false), "port 1 shows \"Not valid\"");
    QVERIFY2(Polling::waitUntil([&] { return portFileComplaints(program->standardError()) > 0; },
                                Polling::ExchangeTimeoutMs),
             "nothing about the port number file on standard error");

    QVERIFY(fixture_->switchPort(SparePort, *spare_));
    QVERIFY(fixture_->waitForLastEvent(*first, QStringLiteral("closed")));
    QVERIFY2(waitForNotValid(), "the failed store does not show \"Not valid\"");
    // The port switch stands: the transaction goes to the picked port.
    verifyResponsive();

    QCOMPARE(portFileComplaints(program->standardError()), 1);
    qInfo("standard error: %s", program->standardError().trimmed().constData());
    if (kind == QLatin1String("folder")) {
        QVERIFY(!QFileInfo::exists(path));
    } else if (kind == QLatin1String("file")) {
        QCOMPARE(fixture_->portFile(), record);
    } else {
        QVERIFY(QFileInfo(path).isDir());
    }
}

void TestE2eFaults::portFilesOfEveryShortLengthGiveAPortAndStayUntouched() {
    QList<SimulatedModule*> modules;
    for (int port = 1; port <= 9; ++port) {
        SimulatedModule* module = fixture_->startModule(port);
        QVERIFY(module);
        modules.append(module);
    }
    const auto openPorts = [&] {
        QList<int> ports;
        for (int port = 1; port <= 9; ++port) {
            if (modules.at(port - 1)->transcript().lastEvent() == QLatin1String("opened")) {
                ports.append(port);
            }
        }
        return ports;
    };

    QRandomGenerator random(seed_);
    for (int length = 0; length <= 25; ++length) {
        QByteArray content(length, '\0');
        for (char& byte : content) {
            byte = static_cast<char>(random.bounded(256));
        }
        // Half of the files start with a digit, the interesting case.
        if (length > 0 && random.bounded(2) == 0) {
            content[0] = static_cast<char>('0' + random.bounded(10));
        }
        QVERIFY(fixture_->writePortFile(content));

        ProgramRun* program = fixture_->startProgram();
        QVERIFY(program);
        QList<int> open;
        QVERIFY2(Polling::waitUntil(
                     [&] {
                         open = openPorts();
                         return open.size() == 1;
                     },
                     Polling::ExchangeTimeoutMs),
                 qPrintable(QStringLiteral("%1 ports are open").arg(open.size())));
        // Give a stray open of port 1 on the way time to show.
        QTest::qWait(300);
        open = openPorts();
        QCOMPARE(open.size(), 1);
        const int port = open.constFirst();
        qInfo("%d bytes \"%s\": port %d", length, content.toHex(' ').constData(), port);

        const char first = content.isEmpty() ? '\0' : content.at(0);
        const int ruled = (first >= '1' && first <= '9') ? first - '0' : 1;
        if (length == 0 || length >= 10) {
            QCOMPARE(port, ruled);
        } else {
            // A file shorter than a record: its first byte counts, or it
            // reads like an empty file.
            QVERIFY2(port == ruled || port == 1, qPrintable(QString::number(port)));
        }
        // It answers on the port it opened.
        SimulatedModule& module = *modules.at(port - 1);
        const int frames = module.transcript().count(QStringLiteral("frame"));
        QVERIFY(fixture_->clickForFrame(Control::Command1, module, frames + 1));
        QCOMPARE(module.transcript().frames().constLast(), "H" + CR);
        QVERIFY2(program->chooseExit(), qPrintable(program->error()));
        QVERIFY2(program->waitForExit(), qPrintable(program->error()));
        QVERIFY(fixture_->waitForLastEvent(module, QStringLiteral("closed")));
        QCOMPARE(fixture_->portFile(), content);
    }
}

// While transaction A pauses, a click on another transaction button and then
// the end of the program are queued. A ends; the click starts transaction B,
// whose event pass takes in the end: nothing of B may reach the module.
void TestE2eFaults::endDuringAnEventPass(bool (ProgramRun::*end)()) {
    SimulatedModule* module = fixture_->startWithModule();
    QVERIFY(module);
    ProgramRun& program = fixture_->program();
    const std::uint32_t window = program.window().id;

    QVERIFY2(program.click(Control::Command1), qPrintable(program.error()));
    QVERIFY(Polling::waitUntil([&] { return module->transcript().received().contains(Wake); },
                               Polling::ExchangeTimeoutMs));
    QVERIFY2(program.click(Control::Command6), qPrintable(program.error()));
    QVERIFY2((program.*end)(), qPrintable(program.error()));
    const double queuedAt = monotonicSeconds();

    QVERIFY(fixture_->waitForEnd(*module, window));
    const Transcript transcript = module->transcript();
    QCOMPARE(transcript.received(), Wake + "H" + CR);
    QCOMPARE(transcript.frames(), QList<QByteArray>{"H" + CR});
    const double frameAt = transcript.events(QStringLiteral("frame")).constFirst().t;
    QVERIFY2(queuedAt < frameAt,
             qPrintable(QStringLiteral("the input was queued %1 s after the first transaction "
                                       "ended, not during its pause")
                            .arg(queuedAt - frameAt)));
}

void TestE2eFaults::exitDuringAnEventPassSendsNothingMore() {
    endDuringAnEventPass(&ProgramRun::chooseExit);
}

void TestE2eFaults::closeDuringAnEventPassSendsNothingMore() {
    endDuringAnEventPass(&ProgramRun::closeWindow);
}

QTEST_GUILESS_MAIN(TestE2eFaults)
#include "tst_e2e_faults.moc"
