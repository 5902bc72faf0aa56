#include "protocol/frames.h"
#include "protocol/portname.h"
#include "protocol/replies.h"
#include "protocol/serialcontrol.h"
#include "support/ptypeer.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A decoded schedule as "rate on-time", the on-time "-" when there is none.
QByteArray schedule(const QByteArray& log) {
    const Replies::Schedule decoded = Replies::schedule(log);
    return QByteArray::number(decoded.rateDigit) + ' ' +
           (decoded.onTime ? QByteArray::number(*decoded.onTime) : QByteArray("-"));
}

// Why the control refuses to open its port, and "(absent)" when that is a
// device that is not there.
QString refusal(SerialControl& control) {
    try {
        control.setPortOpen(true);
    } catch (const CommError& e) {
        return QString::fromLocal8Bit(e.what()) +
               (e.kind() == CommError::Kind::NoDevice ? " (absent)" : "");
    }
    return {};
}

} // namespace

// The protocol library: its pure rules at their edges (the common cases go
// over the line in the window's suite), and the serial control on a
// pseudo-terminal linked as COM1. The control's line settings and its flush
// before the pause show in the window's and the end-to-end suites.
class TestProtocol : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    std::unique_ptr<PtyPeer> peer_;

private slots:
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
        row("on-time 1", Frames::onTimeCode(1), "01");
        row("on-time 10", Frames::onTimeCode(10), "0A");
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
        QVERIFY(peer_->linkAs(dir_.path(), 2)); // another link to the same device
        SerialControl other(dir_.path());
        other.setCommPort(2);
        QCOMPARE(refusal(other), "COM2: " + peer_->slavePath() + " is in use by another program");
        QVERIFY(!other.PortOpen());
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

    // A lock file on the port names its process while that runs, otherwise
    // the file and its owner, who can remove it; not a process that merely
    // has the device open. (Qt takes over a lock whose
    // process is gone from this machine: the stale ones planted here are
    // those it keeps.)
    void lockFileSaysWhoHoldsThePort_data() {
        QTest::addColumn<QByteArray>("bytes"); // PID: the running process's number
        QTest::addColumn<QString>("said");     // LOCK: the lock file
        QTest::newRow("its process runs")
            << QByteArray("PID\nsleep\n") << "is in use by process PID (sleep)";
        QTest::newRow("no process number")
            << QByteArray("\x1b[2J\n") << "is locked by LOCK, owned by nobody";
        QTest::newRow("its process gone, from another machine")
            << QByteArray("999999999\nminicom\nelsewhere\n")
            << "is locked by LOCK, owned by nobody";
    }
    void lockFileSaysWhoHoldsThePort() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, said);
        if (::geteuid() != 0)
            QSKIP("needs root, to give the lock file to another user");
        // One process named in the lock file, another holding the device open.
        QProcess running, holding;
        holding.setStandardInputFile(peer_->slavePath());
        for (QProcess* process : {&running, &holding}) {
            process->start("sleep", {"30"});
            QVERIFY(process->waitForStarted());
        }
        const auto stop = qScopeGuard([&] {
            for (QProcess* process : {&running, &holding}) {
                process->kill();
                process->waitForFinished();
            }
        });
        const QString pid = QString::number(running.processId());
        const QString lock = "/run/lock/LCK..pts_" + peer_->slavePath().section('/', -1);
        // The terminal is this test's: a lock on it is left over from a run
        // that was killed before it could remove its own.
        QFile::remove(lock);
        QFile file(lock);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::NewOnly));
        const auto removed = qScopeGuard([&] { QFile::remove(lock); });
        QVERIFY(file.write(bytes.replace("PID", pid.toLatin1())) == bytes.size());
        file.close();
        QCOMPARE(::chown(QFile::encodeName(lock).constData(), 65534, 65534), 0);
        SerialControl control(dir_.path());
        QCOMPARE(refusal(control), "COM1: " + peer_->slavePath() + ' ' +
                                       said.replace("PID", pid).replace("LOCK", lock));
    }

    // Anyone may put something else in a lock file's place. It is never read
    // (a pipe there would hold the open up for good), and the operator learns
    // whose it is.
    void strayLockFileIsNotRead() {
        if (::geteuid() != 0)
            QSKIP("needs root, to give the folder to another user");
        const QString lock = "/run/lock/LCK..pts_" + peer_->slavePath().section('/', -1);
        QFile::remove(lock);
        QVERIFY(QDir().mkdir(lock));
        const auto removed = qScopeGuard([&] { QDir().rmdir(lock); });
        QCOMPARE(::chown(QFile::encodeName(lock).constData(), 65534, 65534), 0);
        SerialControl control(dir_.path());
        QCOMPARE(refusal(control), "COM1: " + peer_->slavePath() + " is locked by " + lock +
                                       ", which is not a lock file, owned by nobody");
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
        control.setPortOpen(true);
        QCOMPARE(control.deviceDescription(), "COM1 is " + peer_->slavePath());
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
        // The control has let go of the old device: a new one opens.
        PtyPeer replacement;
        QVERIFY(replacement.linkAs(dir_.path(), 1));
        QVERIFY_THROWS_NO_EXCEPTION(control.setPortOpen(true));
        control.Output("\x80");
        QVERIFY(replacement.waitForBytes(1, 2000));
    }

    // A line that takes nothing more (its output stopped, as by a flow control
    // stop) closes the port, rather than letting a frame count as sent.
    void stalledLineClosesThePort() {
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
        QCOMPARE(::tcflow(slave, TCOOFF), 0);
        control.Output("H\r");
        QVERIFY(!control.PortOpen());
        QCOMPARE(lost, "COM1: cannot write to " + peer_->slavePath() +
                           ": 0 of 2 bytes sent within 1000 ms");
        QCOMPARE(kind, CommError::Kind::Other);
        QCOMPARE(::tcflow(slave, TCOON), 0);
        QVERIFY(!peer_->waitForBytes(1, 100));
    }
};

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
