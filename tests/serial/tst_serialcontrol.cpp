#include "protocol/linesettings.h"
#include "protocol/portname.h"
#include "protocol/serialcontrol.h"
#include "support/ptypeer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>
#include <optional>

namespace {

// Runs f and returns the message of the CommError it throws, if any.
template <typename F> std::optional<QString> commErrorOf(F&& f) {
    try {
        f();
    } catch (const CommError& e) {
        return QString::fromStdString(e.what());
    }
    return std::nullopt;
}

// Polls cond WITHOUT running the event loop, so that the control sees only
// what it pulls in by itself.
template <typename F> bool waitWithoutEvents(F&& cond, int timeoutMs = 2000) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!cond()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(2);
    }
    return true;
}

// A call that should find out that the port has gone.
using Notice = void (*)(SerialControl&);

} // namespace

Q_DECLARE_METATYPE(LineSettings)
Q_DECLARE_METATYPE(Notice)

class TestSerialControl : public QObject {
    Q_OBJECT

private slots:
    void init();

    // The settings text and the device names.
    void parsesLineSettings_data();
    void parsesLineSettings();
    void portDevicePathPrefersEntryInProgramFolder();

    // The line as seen at the far end, and the traffic on it.
    void farEndSeesLineSettingsAndOutput_data();
    void farEndSeesLineSettingsAndOutput();
    void inputGivesOneCharacterPerReadWithoutEventLoop();
    void longBurstLosesNothing_data();
    void longBurstLosesNothing();

    // Opening, closing and the device going away.
    void commPortRefusedOutOfRangeOrWhileOpen();
    void portThatCannotBeHadFailsToOpen_data();
    void portThatCannotBeHadFailsToOpen();
    void closedPortIsHarmlessAndOpensAgain_data();
    void closedPortIsHarmlessAndOpensAgain();

private:
    QString folder() const { return dir_->path(); }

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<PtyPeer> peer_;
};

void TestSerialControl::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    peer_ = std::make_unique<PtyPeer>();
    QVERIFY(peer_->linkAs(folder(), 1));
}

void TestSerialControl::parsesLineSettings_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<LineSettings>("expected");
    QTest::addColumn<QString>("refusal"); // the field named when refused; empty when accepted

    using P = QSerialPort;
    const auto good = [](const char* name, const QString& text, LineSettings expected) {
        QTest::newRow(name) << text << expected << QString();
    };
    const auto bad = [](const char* name, const QString& text, const char* refusal) {
        QTest::newRow(name) << text << LineSettings{} << QString::fromLatin1(refusal);
    };
    good("module line", "9600,n,8,2", {9600, P::NoParity, P::Data8, P::TwoStop});
    good("blanks, upper case", " 19200 , E ,7,\t1.5 ",
         {19200, P::EvenParity, P::Data7, P::OneAndHalfStop});
    good("slowest, odd", "50,o,5,1", {50, P::OddParity, P::Data5, P::OneStop});
    good("fastest, mark", "4000000,m,6,2", {4000000, P::MarkParity, P::Data6, P::TwoStop});
    good("space", "115200,S,8,1", {115200, P::SpaceParity, P::Data8, P::OneStop});
    bad("three fields", "9600,n,8", "four fields");
    bad("speed too low", "49,n,8,2", "speed");
    bad("speed too high", "4000001,n,8,2", "speed");
    bad("speed overflows", "99999999999999999999999,n,8,2", "speed");
    bad("signed speed", "+9600,n,8,2", "speed");
    bad("non-latin digits", QString::fromUtf8("٩٦٠٠,n,8,2"), "speed");
    bad("unknown parity", "9600,x,8,2", "parity");
    bad("nine data bits", "9600,n,9,2", "data bits");
    bad("stop bits 1.0", "9600,n,8,1.0", "stop bits");
    bad("embedded nul", QString::fromLatin1("9600,n,8,2\0", 11), "stop bits");
}

void TestSerialControl::parsesLineSettings() {
    QFETCH(QString, text);
    QFETCH(LineSettings, expected);
    QFETCH(QString, refusal);

    LineSettings parsed;
    const auto error = commErrorOf([&] { parsed = parseLineSettings(text); });
    if (refusal.isEmpty()) {
        QVERIFY2(!error, qPrintable(error.value_or(QString())));
        QVERIFY(parsed == expected);
    } else {
        QVERIFY2(error, qPrintable(text));
        QVERIFY2(error->contains(refusal), qPrintable(*error));
    }
}

void TestSerialControl::portDevicePathPrefersEntryInProgramFolder() {
    const QDir dir(folder());
    QVERIFY(QFile::link(dir.filePath("nowhere"), dir.filePath("COM2")));

    QCOMPARE(portDevicePath(1, folder()), dir.filePath("COM1"));
    // A dangling link still wins, so that the open fails instead of quietly
    // using another device.
    QCOMPARE(portDevicePath(2, folder()), dir.filePath("COM2"));
    QCOMPARE(portDevicePath(4, folder()), QStringLiteral("/dev/ttyS3"));
}

void TestSerialControl::farEndSeesLineSettingsAndOutput_data() {
    QTest::addColumn<QString>("settings");
    QTest::addColumn<speed_t>("speed");
    QTest::addColumn<tcflag_t>("stop");

    // A pseudo-terminal keeps the speed and stop bits but forces 8 data bits
    // without parity, so only those vary here.
    QTest::newRow("module line") << "9600,n,8,2" << speed_t(B9600) << tcflag_t(CSTOPB);
    QTest::newRow("1 stop bit") << "19200,n,8,1" << speed_t(B19200) << tcflag_t(0);
}

void TestSerialControl::farEndSeesLineSettingsAndOutput() {
    QFETCH(QString, settings);
    QFETCH(speed_t, speed);
    QFETCH(tcflag_t, stop);

    SerialControl control(folder());
    control.setSettings(settings);
    control.setPortOpen(true);

    const termios line = peer_->attributes();
    QCOMPARE(cfgetospeed(&line), speed);
    QCOMPARE(cfgetispeed(&line), speed);
    QCOMPARE(line.c_cflag & CSTOPB, stop);

    // No event loop runs in this test: what arrives was handed to the
    // operating system by Output itself, before it returned.
    control.Output("\x80H\r");
    QVERIFY(peer_->waitForBytes(3, 2000));
    QCOMPARE(peer_->receivedBytes(), QByteArray("\x80H\r"));
}

void TestSerialControl::inputGivesOneCharacterPerReadWithoutEventLoop() {
    SerialControl control(folder());
    control.setInputLen(1);
    control.setPortOpen(true);

    const QByteArray reply = "H24/01/31\r";
    QVERIFY(peer_->send(reply));
    // The event loop never runs here, so every counted byte was fetched from
    // the operating system by InBufferCount itself.
    QVERIFY(waitWithoutEvents([&] { return control.InBufferCount() == int(reply.size()); }));
    for (qsizetype i = 0; i < reply.size(); ++i) {
        QCOMPARE(control.Input(), reply.mid(i, 1));
        QCOMPARE(control.InBufferCount(), static_cast<int>(reply.size() - i - 1));
    }
    QCOMPARE(control.Input(), QByteArray());
}

void TestSerialControl::longBurstLosesNothing_data() {
    QTest::addColumn<int>("inputLen");
    QTest::newRow("all waiting per read") << 0;
    QTest::newRow("one per read") << 1;
}

void TestSerialControl::longBurstLosesNothing() {
    QFETCH(int, inputLen);
    SerialControl control(folder());
    control.setInputLen(inputLen);
    control.setPortOpen(true);

    // Bytes that are easy to tell apart when one goes missing or is repeated.
    QByteArray burst;
    for (int i = 0; i < 3000; ++i)
        burst.append(static_cast<char>((i * 7 + 3) % 251));
    QVERIFY(peer_->send(burst));
    // The receive buffer holds 1024; the rest waits in the operating system.
    QVERIFY(waitWithoutEvents([&] { return control.InBufferCount() == 1024; }));

    const qsizetype perRead = inputLen == 0 ? 1024 : inputLen;
    QByteArray got;
    const QDeadlineTimer deadline(5000);
    while (got.size() < burst.size() && !deadline.hasExpired()) {
        const QByteArray chunk = control.Input();
        QVERIFY(chunk.size() <= perRead);
        got += chunk;
        // Let the event loop pull in data too, between the reads.
        QCoreApplication::processEvents();
    }
    QCOMPARE(got, burst);
    QCOMPARE(control.InBufferCount(), 0);
}

void TestSerialControl::commPortRefusedOutOfRangeOrWhileOpen() {
    SerialControl control(folder());
    QVERIFY(commErrorOf([&] { control.setCommPort(0); }));
    QVERIFY(commErrorOf([&] { control.setCommPort(17); }));
    control.setCommPort(16);
    control.setCommPort(1);
    control.setPortOpen(true);
    QVERIFY(commErrorOf([&] { control.setCommPort(2); }));
    QVERIFY(control.PortOpen());
}

void TestSerialControl::portThatCannotBeHadFailsToOpen_data() {
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("reason");

    QTest::newRow("in use, same link") << 1 << "in use";
    QTest::newRow("in use, another link to it") << 2 << "in use";
    QTest::newRow("dangling link") << 3 << "no such device";
    QTest::newRow("no entry, no ttyS15") << 16 << "no such device";
}

void TestSerialControl::portThatCannotBeHadFailsToOpen() {
    QFETCH(int, port);
    QFETCH(QString, reason);

    const QDir dir(folder());
    QVERIFY(peer_->linkAs(folder(), 2)); // a second link to the device behind COM1
    QVERIFY(QFile::link(dir.filePath("no-such-tty"), dir.filePath("COM3")));
    if (port == 16 && QFileInfo::exists(QStringLiteral("/dev/ttyS15")))
        QSKIP("this machine has /dev/ttyS15");

    SerialControl holder(folder());
    holder.setPortOpen(true);
    SerialControl control(folder());
    control.setCommPort(port);
    const auto error = commErrorOf([&] { control.setPortOpen(true); });
    QVERIFY(error);
    QVERIFY2(error->contains(reason), qPrintable(*error));
    QVERIFY(!control.PortOpen());
}

void TestSerialControl::closedPortIsHarmlessAndOpensAgain_data() {
    QTest::addColumn<bool>("hangUp");
    QTest::addColumn<Notice>("notice");
    QTest::newRow("closed by the program")
        << false << Notice([](SerialControl& c) { c.setPortOpen(false); });
    QTest::newRow("hang-up seen by InBufferCount")
        << true << Notice([](SerialControl& c) { c.InBufferCount(); });
    QTest::newRow("hang-up seen by Input") << true << Notice([](SerialControl& c) { c.Input(); });
    QTest::newRow("hang-up seen by Output")
        << true << Notice([](SerialControl& c) { c.Output("\x80"); });
    QTest::newRow("hang-up seen by PortOpen") << true << Notice([](SerialControl&) {});
    QTest::newRow("hang-up seen by the event loop")
        << true << Notice([](SerialControl&) { QTest::qWait(100); });
}

void TestSerialControl::closedPortIsHarmlessAndOpensAgain() {
    QFETCH(bool, hangUp);
    QFETCH(Notice, notice);
    SerialControl control(folder());
    control.setInputLen(1);
    control.setPortOpen(true);
    if (hangUp)
        peer_->hangUp();
    notice(control);
    QVERIFY(!control.PortOpen());

    // Everything afterwards behaves as on a closed port: output is dropped,
    // not kept for later.
    control.Output("H\r");
    QCOMPARE(control.InBufferCount(), 0);
    QCOMPARE(control.Input(), QByteArray());

    // A new device (the old pty number may belong to a parallel suite by now)
    // opens, and stays open once any stale notice of the old one is handled.
    PtyPeer replacement;
    QVERIFY(replacement.linkAs(folder(), 1));
    const auto error = commErrorOf([&] { control.setPortOpen(true); });
    QVERIFY2(!error, qPrintable(error.value_or(QString())));
    QTest::qWait(50);
    control.Output("ok");
    QVERIFY(replacement.waitForBytes(2, 2000));
    QCOMPARE(replacement.receivedBytes(), QByteArray("ok"));
}

QTEST_GUILESS_MAIN(TestSerialControl)
#include "tst_serialcontrol.moc"
