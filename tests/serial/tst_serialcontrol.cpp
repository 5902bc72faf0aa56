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

#include <fcntl.h>
#include <memory>
#include <optional>
#include <unistd.h>

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

// Bytes that are easy to tell apart when one goes missing or is repeated.
QByteArray pattern(int size) {
    QByteArray bytes;
    for (int i = 0; i < size; ++i)
        bytes.append(static_cast<char>((i * 7 + 3) % 251));
    return bytes;
}

enum class Unusable { DanglingLink, Directory, NoEntry };
enum class NoticedBy { InBufferCount, Input, Output, PortOpen, EventLoop };

} // namespace

Q_DECLARE_METATYPE(Unusable)
Q_DECLARE_METATYPE(NoticedBy)

class TestSerialControl : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    // The settings text and the device names.
    void parsesLineSettings_data();
    void parsesLineSettings();
    void rejectsMalformedSettings_data();
    void rejectsMalformedSettings();
    void portDevicePathPrefersEntryInProgramFolder();

    // Written properties.
    void startsClosedOnPort1At9600n81ReadingEverything();
    void commPortOnlyInRangeAndWhileClosed();
    void badSettingsOrInputLenAreRefusedAndChangeNothing();

    // The line as seen at the far end.
    void lineSettingsReachTheFarEnd_data();
    void lineSettingsReachTheFarEnd();
    void settingsWrittenWhileOpenApplyAtOnce();
    void settingsTheDeviceRefusesFailTheOpen();

    // Traffic.
    void outputReachesFarEndBeforeReturning();
    void inputGivesOneCharacterPerReadWithoutEventLoop();
    void longBurstLosesNothing_data();
    void longBurstLosesNothing();
    void closedPortDropsOutputAndReadsNothing();

    // Opening and closing.
    void portInUseCannotBeOpenedAgain_data();
    void portInUseCannotBeOpenedAgain();
    void unusableDeviceFailsToOpen_data();
    void unusableDeviceFailsToOpen();
    void openTwiceThrowsCloseTwiceDoesNot();

    // The device going away.
    void farEndHangUpClosesThePort_data();
    void farEndHangUpClosesThePort();

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

void TestSerialControl::cleanup() {
    peer_.reset();
    dir_.reset();
}

void TestSerialControl::parsesLineSettings_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("baud");
    QTest::addColumn<QSerialPort::Parity>("parity");
    QTest::addColumn<QSerialPort::DataBits>("dataBits");
    QTest::addColumn<QSerialPort::StopBits>("stopBits");

    QTest::newRow("module line") << "9600,n,8,2" << 9600 << QSerialPort::NoParity
                                 << QSerialPort::Data8 << QSerialPort::TwoStop;
    QTest::newRow("upper case") << "9600,N,8,1" << 9600 << QSerialPort::NoParity
                                << QSerialPort::Data8 << QSerialPort::OneStop;
    QTest::newRow("blanks around fields")
        << "  19200 , e ,7,\t1.5 " << 19200 << QSerialPort::EvenParity << QSerialPort::Data7
        << QSerialPort::OneAndHalfStop;
    QTest::newRow("slowest, odd") << "50,o,5,1" << 50 << QSerialPort::OddParity
                                  << QSerialPort::Data5 << QSerialPort::OneStop;
    QTest::newRow("fastest, mark") << "4000000,M,6,2" << 4000000 << QSerialPort::MarkParity
                                   << QSerialPort::Data6 << QSerialPort::TwoStop;
    QTest::newRow("space") << "115200,s,8,1" << 115200 << QSerialPort::SpaceParity
                           << QSerialPort::Data8 << QSerialPort::OneStop;
}

void TestSerialControl::parsesLineSettings() {
    QFETCH(QString, text);
    QFETCH(int, baud);
    QFETCH(QSerialPort::Parity, parity);
    QFETCH(QSerialPort::DataBits, dataBits);
    QFETCH(QSerialPort::StopBits, stopBits);

    const LineSettings parsed = parseLineSettings(text);
    QCOMPARE(parsed.baudRate, baud);
    QCOMPARE(parsed.parity, parity);
    QCOMPARE(parsed.dataBits, dataBits);
    QCOMPARE(parsed.stopBits, stopBits);
}

void TestSerialControl::rejectsMalformedSettings_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("reason");

    const QString fields = QStringLiteral("four fields");
    QTest::newRow("empty") << "" << fields;
    QTest::newRow("three fields") << "9600,n,8" << fields;
    QTest::newRow("five fields") << "9600,n,8,2,1" << fields;
    QTest::newRow("other separator") << "9600;n;8;2" << fields;
    QTest::newRow("empty fields") << ",,,"
                                  << "speed";
    QTest::newRow("speed too low") << "49,n,8,2"
                                   << "speed";
    QTest::newRow("speed too high") << "4000001,n,8,2"
                                    << "speed";
    QTest::newRow("speed overflows") << "99999999999999999999999,n,8,2"
                                     << "speed";
    QTest::newRow("negative speed") << "-9600,n,8,2"
                                    << "speed";
    QTest::newRow("signed speed") << "+9600,n,8,2"
                                  << "speed";
    QTest::newRow("hex speed") << "0x2580,n,8,2"
                               << "speed";
    QTest::newRow("fractional speed") << "9600.0,n,8,2"
                                      << "speed";
    QTest::newRow("non-latin digits") << QString::fromUtf8("٩٦٠٠,n,8,2") << "speed";
    QTest::newRow("blank inside speed") << "96 00,n,8,2"
                                        << "speed";
    QTest::newRow("unknown parity") << "9600,x,8,2"
                                    << "parity";
    QTest::newRow("spelt-out parity") << "9600,none,8,2"
                                      << "parity";
    QTest::newRow("missing parity") << "9600,,8,2"
                                    << "parity";
    QTest::newRow("too few data bits") << "9600,n,4,2"
                                       << "data bits";
    QTest::newRow("too many data bits") << "9600,n,9,2"
                                        << "data bits";
    QTest::newRow("three stop bits") << "9600,n,8,3"
                                     << "stop bits";
    QTest::newRow("stop bits 1.0") << "9600,n,8,1.0"
                                   << "stop bits";
    QTest::newRow("trailing garbage") << "9600,n,8,2x"
                                      << "stop bits";
    QTest::newRow("embedded nul") << QString::fromLatin1("9600,n,8,2\0", 11) << "stop bits";
}

void TestSerialControl::rejectsMalformedSettings() {
    QFETCH(QString, text);
    QFETCH(QString, reason);

    const auto error = commErrorOf([&] { parseLineSettings(text); });
    QVERIFY2(error, qPrintable(text));
    QVERIFY2(error->contains(reason), qPrintable(*error));
}

void TestSerialControl::portDevicePathPrefersEntryInProgramFolder() {
    const QDir dir(folder());
    QVERIFY(QFile::link(dir.filePath("nowhere"), dir.filePath("COM2")));
    QFile plain(dir.filePath("COM3"));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();

    QCOMPARE(portDevicePath(1, folder()), dir.filePath("COM1"));
    QCOMPARE(portDevicePath(2, folder()), dir.filePath("COM2"));
    QCOMPARE(portDevicePath(3, folder()), dir.filePath("COM3"));
    QCOMPARE(portDevicePath(4, folder()), QStringLiteral("/dev/ttyS3"));
    QCOMPARE(portDevicePath(16, folder()), QStringLiteral("/dev/ttyS15"));
    QCOMPARE(portDevicePath(1, dir.filePath("missing-folder")), QStringLiteral("/dev/ttyS0"));
}

void TestSerialControl::startsClosedOnPort1At9600n81ReadingEverything() {
    SerialControl control(folder());
    QVERIFY(!control.PortOpen());
    QCOMPARE(control.commPort(), 1);
    QCOMPARE(control.settings(), QStringLiteral("9600,n,8,1"));
    QCOMPARE(control.inputLen(), 0);

    control.setPortOpen(true);
    QVERIFY(control.PortOpen());
    const termios line = peer_->attributes();
    QCOMPARE(cfgetospeed(&line), speed_t(B9600));
    QCOMPARE(line.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(line.c_cflag & (PARENB | CSTOPB), tcflag_t(0));

    QVERIFY(peer_->send("abc"));
    QVERIFY(waitWithoutEvents([&] { return control.InBufferCount() == 3; }));
    QCOMPARE(control.Input(), QByteArray("abc"));
}

void TestSerialControl::commPortOnlyInRangeAndWhileClosed() {
    SerialControl control(folder());
    for (int port : {0, 17, -1}) {
        const auto error = commErrorOf([&] { control.setCommPort(port); });
        QVERIFY2(error, qPrintable(QString::number(port)));
        QVERIFY2(error->contains(QStringLiteral("COM%1").arg(port)), qPrintable(*error));
        QCOMPARE(control.commPort(), 1);
    }
    control.setCommPort(16);
    QCOMPARE(control.commPort(), 16);

    control.setCommPort(1);
    control.setPortOpen(true);
    QVERIFY(commErrorOf([&] { control.setCommPort(2); }));
    QCOMPARE(control.commPort(), 1);
    QVERIFY(control.PortOpen());

    control.setPortOpen(false);
    control.setCommPort(2);
    QCOMPARE(control.commPort(), 2);
}

void TestSerialControl::badSettingsOrInputLenAreRefusedAndChangeNothing() {
    SerialControl control(folder());
    control.setSettings("9600,n,8,2");
    QVERIFY(commErrorOf([&] { control.setSettings("9600,n,8"); }));
    QCOMPARE(control.settings(), QStringLiteral("9600,n,8,2"));

    control.setInputLen(1);
    QVERIFY(commErrorOf([&] { control.setInputLen(-1); }));
    QCOMPARE(control.inputLen(), 1);

    // The refused text left the previous settings in force.
    control.setPortOpen(true);
    const termios line = peer_->attributes();
    QVERIFY((line.c_cflag & CSTOPB) != 0);
}

void TestSerialControl::lineSettingsReachTheFarEnd_data() {
    QTest::addColumn<QString>("settings");
    QTest::addColumn<speed_t>("speed");
    QTest::addColumn<tcflag_t>("size");
    QTest::addColumn<tcflag_t>("parity");
    QTest::addColumn<tcflag_t>("stop");

    // A pseudo-terminal keeps the speed and stop bits but forces 8 data bits
    // without parity, so only those vary here.
    QTest::newRow("module line") << "9600,n,8,2" << speed_t(B9600) << tcflag_t(CS8) << tcflag_t(0)
                                 << tcflag_t(CSTOPB);
    QTest::newRow("19200, 1 stop bit")
        << "19200,N,8,1" << speed_t(B19200) << tcflag_t(CS8) << tcflag_t(0) << tcflag_t(0);
    QTest::newRow("2400, 2 stop bits")
        << " 2400,n,8,2" << speed_t(B2400) << tcflag_t(CS8) << tcflag_t(0) << tcflag_t(CSTOPB);
}

void TestSerialControl::lineSettingsReachTheFarEnd() {
    QFETCH(QString, settings);
    QFETCH(speed_t, speed);
    QFETCH(tcflag_t, size);
    QFETCH(tcflag_t, parity);
    QFETCH(tcflag_t, stop);

    SerialControl control(folder());
    control.setSettings(settings);
    control.setPortOpen(true);

    const termios line = peer_->attributes();
    QCOMPARE(cfgetospeed(&line), speed);
    QCOMPARE(cfgetispeed(&line), speed);
    QCOMPARE(line.c_cflag & CSIZE, size);
    QCOMPARE(line.c_cflag & (PARENB | PARODD), parity);
    QCOMPARE(line.c_cflag & CSTOPB, stop);
    // No flow control of either kind.
    QCOMPARE(line.c_cflag & CRTSCTS, tcflag_t(0));
    QCOMPARE(line.c_iflag & (IXON | IXOFF), tcflag_t(0));
}

void TestSerialControl::settingsWrittenWhileOpenApplyAtOnce() {
    SerialControl control(folder());
    control.setSettings("9600,n,8,2");
    control.setPortOpen(true);
    control.setSettings("4800,n,8,1");

    const termios line = peer_->attributes();
    QCOMPARE(cfgetospeed(&line), speed_t(B4800));
    QCOMPARE(line.c_cflag & CSTOPB, tcflag_t(0));
}

void TestSerialControl::settingsTheDeviceRefusesFailTheOpen() {
    // Linux pseudo-terminals drop parity; where they keep it there is nothing
    // to refuse.
    const int probe = ::open(peer_->slavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    QVERIFY(probe >= 0);
    termios line{};
    ::tcgetattr(probe, &line);
    line.c_cflag |= PARENB;
    ::tcsetattr(probe, TCSANOW, &line);
    ::tcgetattr(probe, &line);
    ::close(probe);
    if ((line.c_cflag & PARENB) != 0)
        QSKIP("this system's pseudo-terminals accept parity");

    SerialControl control(folder());
    control.setSettings("9600,e,8,2");
    const auto error = commErrorOf([&] { control.setPortOpen(true); });
    QVERIFY(error);
    QVERIFY2(error->startsWith(QStringLiteral("COM1: ")), qPrintable(*error));
    QVERIFY2(error->contains(QStringLiteral("not supported")), qPrintable(*error));
    QVERIFY(!control.PortOpen());

    // The port was let go: it opens as soon as the settings are acceptable.
    control.setSettings("9600,n,8,2");
    control.setPortOpen(true);
    QVERIFY(control.PortOpen());
}

void TestSerialControl::outputReachesFarEndBeforeReturning() {
    SerialControl control(folder());
    control.setSettings("9600,n,8,2");
    control.setPortOpen(true);

    // No event loop runs from here on: what arrives was handed to the
    // operating system by Output itself.
    control.Output(QByteArray(1, '\x80'));
    QVERIFY(peer_->waitForBytes(1, 2000));
    QCOMPARE(peer_->receivedBytes(), QByteArray(1, '\x80'));

    control.Output("H\r");
    QVERIFY(peer_->waitForBytes(3, 2000));
    QCOMPARE(peer_->receivedBytes(), QByteArray("\x80H\r"));
    const auto chunks = peer_->received();
    QCOMPARE(chunks.front().bytes, QByteArray(1, '\x80'));
    QVERIFY(chunks.front().at <= chunks.back().at);
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
    QTest::newRow("700 per read") << 700;
}

void TestSerialControl::longBurstLosesNothing() {
    QFETCH(int, inputLen);
    SerialControl control(folder());
    control.setInputLen(inputLen);
    control.setPortOpen(true);

    const QByteArray burst = pattern(3000);
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
    QCOMPARE(got.size(), burst.size());
    QCOMPARE(got, burst);
    QCOMPARE(control.InBufferCount(), 0);
}

void TestSerialControl::closedPortDropsOutputAndReadsNothing() {
    SerialControl control(folder());
    control.Output("lost");
    QCOMPARE(control.InBufferCount(), 0);
    QCOMPARE(control.Input(), QByteArray());

    control.setPortOpen(true);
    control.setPortOpen(false);
    control.Output("lost too");
    QCOMPARE(control.InBufferCount(), 0);
    QCOMPARE(control.Input(), QByteArray());

    // Nothing dropped earlier turns up once the port is open.
    control.setPortOpen(true);
    control.Output("kept");
    QVERIFY(peer_->waitForBytes(4, 2000));
    QTest::qWait(50);
    QCOMPARE(peer_->receivedBytes(), QByteArray("kept"));
}

void TestSerialControl::portInUseCannotBeOpenedAgain_data() {
    QTest::addColumn<int>("secondPort");
    QTest::newRow("same link") << 1;
    QTest::newRow("another link to the same device") << 2;
}

void TestSerialControl::portInUseCannotBeOpenedAgain() {
    QFETCH(int, secondPort);
    QVERIFY(peer_->linkAs(folder(), 2));

    SerialControl first(folder());
    first.setPortOpen(true);
    SerialControl second(folder());
    second.setCommPort(secondPort);

    const auto error = commErrorOf([&] { second.setPortOpen(true); });
    QVERIFY(error);
    QVERIFY2(error->contains(QStringLiteral("COM%1").arg(secondPort)), qPrintable(*error));
    QVERIFY2(error->contains(QStringLiteral("in use")), qPrintable(*error));
    QVERIFY(!second.PortOpen());

    // The holder is unaffected, and once it lets go the port can be had.
    first.Output("1");
    QVERIFY(peer_->waitForBytes(1, 2000));
    first.setPortOpen(false);
    second.setPortOpen(true);
    second.Output("2");
    QVERIFY(peer_->waitForBytes(2, 2000));
    QCOMPARE(peer_->receivedBytes(), QByteArray("12"));
}

void TestSerialControl::unusableDeviceFailsToOpen_data() {
    QTest::addColumn<Unusable>("kind");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("reason");

    QTest::newRow("dangling link") << Unusable::DanglingLink << 3 << "no such device";
    QTest::newRow("directory") << Unusable::Directory << 5 << "cannot open";
    QTest::newRow("no entry, no ttyS15") << Unusable::NoEntry << 16 << "no such device";
}

void TestSerialControl::unusableDeviceFailsToOpen() {
    QFETCH(Unusable, kind);
    QFETCH(int, port);
    QFETCH(QString, reason);

    const QDir dir(folder());
    const QString entry = dir.filePath(QStringLiteral("COM%1").arg(port));
    switch (kind) {
    case Unusable::DanglingLink:
        QVERIFY(QFile::link(dir.filePath("no-such-tty"), entry));
        break;
    case Unusable::Directory:
        QVERIFY(dir.mkdir(entry));
        break;
    case Unusable::NoEntry:
        if (QFileInfo::exists(QStringLiteral("/dev/ttyS15")))
            QSKIP("this machine has /dev/ttyS15");
        break;
    }

    SerialControl control(folder());
    control.setCommPort(port);
    const auto error = commErrorOf([&] { control.setPortOpen(true); });
    QVERIFY(error);
    QVERIFY2(error->startsWith(QStringLiteral("COM%1: ").arg(port)), qPrintable(*error));
    QVERIFY2(error->contains(reason), qPrintable(*error));
    QVERIFY(!control.PortOpen());
    control.Output("x");
    QCOMPARE(control.InBufferCount(), 0);
}

void TestSerialControl::openTwiceThrowsCloseTwiceDoesNot() {
    SerialControl control(folder());
    control.setPortOpen(true);
    QVERIFY(commErrorOf([&] { control.setPortOpen(true); }));
    QVERIFY(control.PortOpen());
    control.Output("a");
    QVERIFY(peer_->waitForBytes(1, 2000));

    control.setPortOpen(false);
    control.setPortOpen(false);
    QVERIFY(!control.PortOpen());
}

void TestSerialControl::farEndHangUpClosesThePort_data() {
    QTest::addColumn<NoticedBy>("noticedBy");
    QTest::newRow("InBufferCount") << NoticedBy::InBufferCount;
    QTest::newRow("Input") << NoticedBy::Input;
    QTest::newRow("Output") << NoticedBy::Output;
    QTest::newRow("PortOpen") << NoticedBy::PortOpen;
    QTest::newRow("event loop") << NoticedBy::EventLoop;
}

void TestSerialControl::farEndHangUpClosesThePort() {
    QFETCH(NoticedBy, noticedBy);
    SerialControl control(folder());
    control.setInputLen(1);
    control.setPortOpen(true);
    peer_->hangUp();

    switch (noticedBy) {
    case NoticedBy::InBufferCount:
        QCOMPARE(control.InBufferCount(), 0);
        break;
    case NoticedBy::Input:
        QCOMPARE(control.Input(), QByteArray());
        break;
    case NoticedBy::Output:
        control.Output(QByteArray(1, '\x80'));
        break;
    case NoticedBy::PortOpen:
        break;
    case NoticedBy::EventLoop:
        QTest::qWait(100);
        break;
    }
    QVERIFY(!control.PortOpen());

    // Everything afterwards behaves as on a closed port.
    control.Output("H\r");
    QCOMPARE(control.InBufferCount(), 0);
    QCOMPARE(control.Input(), QByteArray());
    control.setPortOpen(false);
    QVERIFY(!control.PortOpen());

    // A new device on the same port opens, and stays open once any stale
    // notice of the old one has been handled. (The old link is not opened
    // again: a suite running in parallel may already own its pty number.)
    PtyPeer replacement;
    QVERIFY(replacement.linkAs(folder(), 1));
    control.setPortOpen(true);
    QTest::qWait(50);
    QVERIFY(control.PortOpen());
    control.Output("ok");
    QVERIFY(replacement.waitForBytes(2, 2000));
    QCOMPARE(replacement.receivedBytes(), QByteArray("ok"));
}

QTEST_GUILESS_MAIN(TestSerialControl)
#include "tst_serialcontrol.moc"
