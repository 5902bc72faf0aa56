#include "protocol/portname.h"
#include "protocol/replies.h"
#include "protocol/serialcontrol.h"
#include "support/ptypeer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A decoded schedule as "rate on-time", the on-time "-" when there is none.
QByteArray schedule(const QByteArray& log) {
    const Replies::Schedule decoded = Replies::schedule(log);
    return QByteArray::number(decoded.rateDigit) + ' ' +
           (decoded.onTime ? QByteArray::number(*decoded.onTime) : QByteArray("-"));
}

// Why a call on the control fails, and "(absent)" when that is a device that
// is not there; empty when it does not.
QString failure(const std::function<void()>& call) {
    try {
        call();
    } catch (const CommError& e) {
        return QString::fromLocal8Bit(e.what()) +
               (e.kind() == CommError::Kind::NoDevice ? " (absent)" : "");
    }
    return {};
}
QString refusal(SerialControl& control) {
    return failure([&] { control.setPortOpen(true); });
}

QByteArray read(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(64) : QByteArray();
}
bool write(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}
// What is in a place of the lock folder, without opening anything but a
// regular file: its kind, identity and first bytes.
QByteArray state(const QString& path) {
    struct stat entry = {};
    if (::lstat(QFile::encodeName(path).constData(), &entry) != 0)
        return {};
    return QByteArray::number(entry.st_mode) + ' ' + QByteArray::number(entry.st_ino) + ' ' +
           (S_ISREG(entry.st_mode) ? read(path) : QByteArray());
}

} // namespace

// The protocol library: its pure rules at their edges (the common cases go
// over the line in the window's suite), and the serial control on a
// pseudo-terminal linked as COM1. The control's line settings and its flush
// before the pause show in the window's and the end-to-end suites.
class TestProtocol : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QTemporaryDir locks_; // the suite's own lock folder
    std::unique_ptr<PtyPeer> peer_;

private slots:
    void initTestCase() { qputenv("VELKARO_LOCK_DIR", QFile::encodeName(locks_.path())); }
    void cleanup() {
        QDir locks(locks_.path());
        QVERIFY(locks.removeRecursively() && locks.mkpath("."));
    }
    void init() {
        peer_ = std::make_unique<PtyPeer>();
        QVERIFY(peer_->linkAs(dir_.path(), 1));
    }

    void rules_data() {
        QTest::addColumn<QByteArray>("result");
        QTest::addColumn<QByteArray>("expected");
        const auto row = [](const char* name, const QByteArray& result,
                            const QByteArray& expected) {
            QTest::newRow(name) << result << expected;
        };
        row("COM1 without a link", portDevicePath(1, "/nonexistent").toLatin1(), "/dev/ttyS0");

        row("clock reply, short", Replies::clockText("T26/0"), "26/0/ ::");
        row("schedule 01", schedule("SLOTS0,01\r\n"), "0 1");
        row("schedule 00, out of range", schedule("SLOTS1,00\r\n"), "1 -");
        row("schedule F1, out of range", schedule("SLOTS1,F1\r\n"), "1 -");
        row("schedule, 'a' gives 42", schedule("SLOTS1,0a\r\n"), "1 42");
        row("schedule, ':' gives 10", schedule("SLOTS1,1:\r\n"), "1 26");
        row("schedule, letter rate gives 0", schedule("SLOTSx,10\r\n"), "0 16");
        row("schedule, rate 9 passes", schedule("SLOTS9,10\r\n"), "9 16");
        row("schedule, log ends before 9", schedule("SLOTS4,1"), "4 -");
    }
    void rules() {
        QFETCH(QByteArray, result);
        QFETCH(QByteArray, expected);
        QCOMPARE(result, expected);
    }

    // Each refusal says why, in words an operator can act on.
    void portThatCannotBeHadIsRefused() {
        SerialControl holder(dir_.path());
        holder.setPortOpen(true);
        QCOMPARE(failure([&] { holder.setCommPort(2); }),
                 "COM1: close the port before choosing another");
        QVERIFY(peer_->linkAs(dir_.path(), 2)); // another link to the same device
        SerialControl other(dir_.path());
        other.setCommPort(2);
        QCOMPARE(refusal(other), "COM2: " + peer_->slavePath() + " is in use by another program");
        holder.setPortOpen(false);
        QVERIFY_THROWS_NO_EXCEPTION(other.setPortOpen(true));
        other.setPortOpen(false);
        other.setSettings("9600,s,7,1"); // space parity: the terminal refuses it
        const QString refused = refusal(other);
        QVERIFY2(refused.startsWith("COM2: the device " + peer_->slavePath() +
                                    " refused the line settings 9600,s,7,1: "),
                 qPrintable(refused));
        QVERIFY(!other.PortOpen());

        // The highest port, its link pointing nowhere.
        QVERIFY(QFile::link(dir_.filePath("gone"), dir_.filePath("COM16")));
        SerialControl missing(dir_.path());
        QVERIFY_THROWS_EXCEPTION(CommError, missing.setCommPort(17));
        missing.setCommPort(16);
        QCOMPARE(refusal(missing),
                 QStringLiteral("COM16: no such device %1, which the link %2 points to (absent)")
                     .arg(dir_.filePath("gone"), dir_.filePath("COM16")));
        QVERIFY(!missing.PortOpen());
    }

    // Nothing planted in the lock folder holds an open up or lets two
    // programs share the line, and no way of holding the device is talked
    // over; what was there stays as it was. PID: the holding process (a child
    // of this suite); DEV: the device; LOCK: the lock file; ME: this user.
    void lineIsOursAlone_data() {
        QTest::addColumn<QByteArray>("hold");  // how the child holds the device
        QTest::addColumn<QString>("plant");    // what is put in the lock file's place
        QTest::addColumn<QByteArray>("bytes"); // the lock file's
        QTest::addColumn<QString>("said");     // the refusal; empty: opens
        const QString live = "DEV is in use by process PID (tst_protocol)";
        const QString stray = "DEV is locked by LOCK, which is not a lock file, owned by ME";
        const auto row = [](const char* name, const char* hold, const char* plant,
                            const QByteArray& bytes, const QString& said) {
            QTest::newRow(name) << QByteArray(hold) << plant << bytes << said;
        };
        row("right-aligned PID, running", "", "file", "     PID\n", live);
        row("minicom's line, running", "", "file", "     PID minicom root\n", live);
        row("PID gone", "", "file", " 999999999\n", "");
        row("PID gone, a pipe .rmlock beside", "", "rmlock", " 999999999\n", "");
        row("binary PID gone", "", "file", QByteArray("\xff\xff\xff\x7f", 4), "");
        row("2 GiB of nothing", "", "sparse", "", "DEV is locked by LOCK, owned by ME");
        row("a pipe", "", "fifo", "", stray);
        row("a link to a lock", "", "link", "", stray);
        row("a folder", "", "folder", "", stray);
        row("flock", "flock", "", "", live);
        row("TIOCEXCL", "exclusive", "", "", live);
        row("open, nothing more", "open", "", "", live);
    }
    void lineIsOursAlone() {
        QFETCH(QByteArray, hold);
        QFETCH(QString, plant);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, said);
        const QString device = peer_->slavePath();
        const QByteArray path = QFile::encodeName(device);
        const pid_t holder = ::fork();
        if (holder == 0) { // holds what it is told to, none of this suite's descriptors
            ::close_range(3, ~0U, 0);
            const int fd = hold.isEmpty() ? -1 : ::open(path.constData(), O_RDWR | O_NOCTTY);
            if (hold == "flock")
                ::flock(fd, LOCK_EX);
            if (hold == "exclusive")
                ::ioctl(fd, TIOCEXCL);
            for (;;)
                ::raise(SIGSTOP);
        }
        const auto stop = qScopeGuard([holder] {
            ::kill(holder, SIGKILL);
            ::waitpid(holder, nullptr, 0);
        });
        QCOMPARE(::waitpid(holder, nullptr, WUNTRACED), holder); // stopped, holding

        const QString lock = locks_.filePath("LCK..pts_" + device.section('/', -1));
        const QByteArray pid = QByteArray::number(holder);
        if (plant == "file" || plant == "rmlock")
            QVERIFY(write(lock, bytes.replace("PID", pid)));
        if (plant == "rmlock" || plant == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(plant == "fifo" ? lock : lock + ".rmlock"), 0644),
                     0);
        if (plant == "sparse")
            QVERIFY(write(lock, {}) && ::truncate(QFile::encodeName(lock), 2LL << 30) == 0);
        if (plant == "link")
            QVERIFY(QFile::link(peer_->slavePath(), lock));
        if (plant == "folder")
            QVERIFY(QDir().mkdir(lock));
        const QByteArray before = state(lock);
        const QByteArray rmlock = state(lock + ".rmlock");

        SerialControl control(dir_.path());
        const QDeadlineTimer second(1000);
        const QString refused = refusal(control);
        QVERIFY(!second.hasExpired());
        if (!said.isEmpty())
            said = "COM1: " + said.replace("ME", QFileInfo(locks_.path()).owner())
                                  .replace("DEV", device)
                                  .replace("PID", pid)
                                  .replace("LOCK", lock);
        QCOMPARE(refused, said);
        if (said.isEmpty()) {
            QCOMPARE(read(lock), QByteArray::number(::getpid()).rightJustified(10) + '\n');
            control.setPortOpen(false);
            QVERIFY(!QFileInfo::exists(lock));
        } else {
            QCOMPARE(state(lock), before);
        }
        QCOMPARE(state(lock + ".rmlock"), rmlock);
    }

    // As when the cable is pulled during a transaction's pause.
    void hangUpBetweenWakeByteAndFrame() {
        SerialControl control(dir_.path());
        QString lost;
        CommError::Kind kind{};
        control.setLostHandler([&](const QString& reason, CommError::Kind k) {
            lost = reason;
            kind = k;
        });
        control.setSettings("9600,n,8,2");
        control.setPortOpen(true);
        // The line as the module's end sees it: raw, 9600 8N2, no flow control.
        const termios line = peer_->line();
        QCOMPARE(
            QList<tcflag_t>({::cfgetospeed(&line),
                             line.c_cflag & (CSIZE | CSTOPB | PARENB | CRTSCTS | CLOCAL | CREAD),
                             line.c_iflag & (IXON | IXOFF), line.c_lflag & (ICANON | ECHO)}),
            QList<tcflag_t>({B9600, CS8 | CSTOPB | CLOCAL | CREAD, 0, 0}));
        control.Output("\x80");
        QVERIFY(peer_->waitForBytes(1, 2000));
        const QString device = peer_->slavePath();
        peer_->hangUp();
        control.Output("H\r");
        QVERIFY(!control.PortOpen());
        QCOMPARE(lost, "COM1: disconnected (" + device + " went away)");
        QCOMPARE(kind, CommError::Kind::NoDevice);
        QCOMPARE(control.InBufferCount(), 0);
        QCOMPARE(control.Input(), QByteArray());
        QCOMPARE(peer_->receivedBytes(), "\x80");
    }

    // A line that takes nothing more (its output stopped, as by a flow control
    // stop), or only part of a frame (its far end not reading), closes the
    // port, rather than letting a frame count as sent.
    void stalledLineClosesThePort_data() {
        QTest::addColumn<bool>("stopped");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QString>("said"); // a pattern
        QTest::newRow("output stopped") << true << QByteArray("H\r") << "0 of 2 bytes";
        QTest::newRow("partly taken")
            << false << QByteArray(1 << 20, 'x') << "[1-9][0-9]* of 1048576 bytes";
    }
    void stalledLineClosesThePort() {
        QFETCH(bool, stopped);
        QFETCH(QByteArray, frame);
        QFETCH(QString, said);
        SerialControl control(dir_.path());
        QString lost;
        CommError::Kind kind{};
        control.setLostHandler([&](const QString& reason, CommError::Kind k) {
            lost = reason;
            kind = k;
        });
        control.setPortOpen(true);
        const int slave =
            ::open(QFile::encodeName(peer_->slavePath()).constData(), O_RDWR | O_NOCTTY);
        QVERIFY(slave >= 0);
        const auto closed = qScopeGuard([slave] { ::close(slave); });
        peer_->pauseReading(!stopped);
        if (stopped)
            QCOMPARE(::tcflow(slave, TCOOFF), 0);
        control.Output(frame);
        QVERIFY(!control.PortOpen());
        const QRegularExpression expected(QRegularExpression::anchoredPattern(
            "COM1: cannot write to " + QRegularExpression::escape(peer_->slavePath()) + ": " +
            said + " sent within 1000 ms"));
        QVERIFY2(expected.match(lost).hasMatch(), qPrintable(lost));
        QCOMPARE(kind, CommError::Kind::Other);
        if (stopped) {
            QCOMPARE(::tcflow(slave, TCOON), 0);
            QVERIFY(!peer_->waitForBytes(1, 100));
        }
    }
};

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
