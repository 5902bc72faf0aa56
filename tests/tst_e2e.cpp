#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <xcb/xcb.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace {

const QByteArray ModuleClock = "24/02/29 13:14:15";

xcb_atom_t atom(xcb_connection_t* x, const char* name) {
    const auto length = static_cast<uint16_t>(std::strlen(name));
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(x, xcb_intern_atom(x, 0, length, name), nullptr);
    const xcb_atom_t value = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return value;
}

// Asks a window to close, as a window manager's close box does. The checked
// request makes a round trip: one still unread when the connection closes may
// be dropped.
bool requestClose(xcb_window_t window) {
    xcb_connection_t* x = xcb_connect(nullptr, nullptr);
    xcb_client_message_event_t message{XCB_CLIENT_MESSAGE,      32, 0, window,
                                       atom(x, "WM_PROTOCOLS"), {}};
    message.data.data32[0] = atom(x, "WM_DELETE_WINDOW");
    const auto* bytes = reinterpret_cast<const char*>(&message);
    xcb_generic_error_t* error =
        xcb_request_check(x, xcb_send_event_checked(x, 0, window, 0, bytes));
    const bool sent = error == nullptr;
    std::free(error);
    xcb_disconnect(x);
    return sent;
}

// Whether a signal sent to a process still waits for its handler.
bool pending(pid_t pid, int signal) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    const QList<QByteArray> lines =
        status.open(QIODevice::ReadOnly) ? status.readAll().split('\n') : QList<QByteArray>();
    for (const QByteArray& line : lines) {
        if (line.startsWith("ShdPnd:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (signal - 1)) & 1;
    }
    return false;
}

// A descriptor of a running process, and a signal sent through it: unlike a
// process number, it never stands for another process. Through syscall():
// this C library's header declares the calls without C linkage.
int pidfdOpen(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}
bool pidfdSignal(int pidfd, int signal) {
    return ::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0) == 0;
}

// Whether the process that `pidfd` refers to has ended.
bool finished(int pidfd) {
    pollfd fd{pidfd, POLLIN, 0};
    return ::poll(&fd, 1, 0) != 0;
}

} // namespace

// The real program, copied into a temporary program folder, on the X display,
// with a simulated module behind COM1 and one behind COM2, driven by the
// keyboard as an operator would. The modules' transcripts (COMn.jsonl) and the
// port number file are read as the test goes.
class TestE2e : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QTemporaryDir locks_; // the suite's own lock folder, for every program it starts
    std::vector<std::unique_ptr<QProcess>> processes_; // the modules, then the program runs

    QByteArray read(const QString& name) const {
        QFile file(dir_.filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    bool write(const QByteArray& portFile) const {
        QFile file(dir_.filePath("COM-BAUD.txt"));
        return file.open(QIODevice::WriteOnly) && file.write(portFile) == portFile.size();
    }
    // Whether the program has the port open, as the module behind it saw.
    bool holds(const char* transcript) const {
        const QByteArray seen = read(transcript);
        return seen.lastIndexOf("\"event\":\"opened\"") > seen.lastIndexOf("\"event\":\"closed\"");
    }
    QProcess&
    run(const QString& program, const QStringList& arguments = {},
        const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment()) {
        auto& process = *processes_.emplace_back(std::make_unique<QProcess>());
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(QDir::tempPath()); // the port file is beside the program
        process.start(program, arguments);
        return process;
    }
    bool ended() const {
        return processes_.back()->waitForFinished(10000) && processes_.back()->exitCode() == 0;
    }
    // A simulated module behind COM<port>, with the transcript COM<port>.jsonl.
    bool startModule(int port, const QStringList& options = {}) {
        const QString name = QStringLiteral("COM%1").arg(port);
        QStringList all{"--link", dir_.filePath(name), "--transcript",
                        dir_.filePath(name + ".jsonl")};
        // The module names its device once the link is in place.
        return run(VELKARO_MODULE_SIM, all + options).waitForReadyRead(5000);
    }
    // What is in the lock folder.
    QStringList locks() const {
        return QDir(locks_.path())
            .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    }
    static xcb_window_t window() {
        QProcess search;
        search.start("xdotool", {"search", "--sync", "--onlyvisible", "--name", "^Velkaro$"});
        return search.waitForFinished(10000) ? search.readAllStandardOutput().toUInt() : 0;
    }
    // Presses keys, e.g. "alt Return", in the program's window.
    static void keys(const QString& keys) {
        const QStringList focus{"windowfocus", "--sync", QString::number(window()), "key"};
        QProcess::execute("xdotool", focus + QStringList{"--delay", "100"} + keys.split(' '));
    }

private slots:
    void initTestCase() {
        QVERIFY2(qEnvironmentVariableIsSet("DISPLAY"), "needs an X display, e.g. by xvfb-run");
        QVERIFY(QFile::copy(VELKARO_PROGRAM, dir_.filePath("velkaro")));
        QVERIFY(QFile::copy(VELKARO_CLI, dir_.filePath("velkaro-cli")));
        qputenv("VELKARO_LOCK_DIR", QFile::encodeName(locks_.path()));
    }
    void cleanup() {
        for (const auto& process : processes_) {
            process->terminate();
            process->waitForFinished();
        }
        QDir folder(locks_.path());
        QVERIFY(folder.removeRecursively() && folder.mkpath("."));
    }

    void startClockPickCloseRestartExit() {
        for (const int port : {1, 2}) {
            QVERIFY(startModule(port, {"--clock", ModuleClock, "--frozen"}));
        }
        // Only the first byte is read; a store would blank the other nine.
        QVERIFY(write("2#########"));

        // Start-up on the configured port, with the module's line.
        run(dir_.filePath("velkaro"));
        QTRY_VERIFY_WITH_TIMEOUT(holds("COM2.jsonl"), 10000);
        QVERIFY(read("COM2.jsonl").contains("\"speed\":9600,\"stop\":2"));
        QCOMPARE(locks().size(), 1);
        // Read from, then Set into: the module's own clock goes back to it,
        // decoded and framed by the program. The focus starts on Set into.
        keys("Tab Tab space");
        QTRY_VERIFY(read("COM2.jsonl").contains("\"dir\":\"tx\""));
        keys("shift+Tab shift+Tab space");
        QTRY_VERIFY(read("COM2.jsonl").contains("\"event\":\"clock\",\"value\":\"" + ModuleClock));
        QVERIFY(!read("COM1.jsonl").contains("\"dir\":\"rx\""));
        // A pick in the port menu is stored.
        keys("alt Right Return Return"); // Com Port, Com1
        QTRY_VERIFY(holds("COM1.jsonl") && !holds("COM2.jsonl"));
        QTRY_COMPARE(read("COM-BAUD.txt"), "1         "); // stored after the open

        // Closing the window ends the program and releases the port.
        QVERIFY(write("1#########"));
        QVERIFY(requestClose(window()));
        QVERIFY(ended());
        QTRY_VERIFY(!holds("COM1.jsonl"));
        QCOMPARE(read("COM-BAUD.txt"), "1#########");
        QCOMPARE(locks(), QStringList());
        // The next run talks on the port picked.
        run(dir_.filePath("velkaro"));
        keys("Tab Tab space");
        QTRY_VERIFY(read("COM1.jsonl").contains("\"reason\":\"clock read\""));
        // Exit ends the program and releases the port.
        keys("alt Return");
        QVERIFY(ended());
        QTRY_VERIFY(!holds("COM1.jsonl"));
        QCOMPARE(read("COM-BAUD.txt"), "1#########");
        QCOMPARE(locks(), QStringList());
    }

    // Files that once held velkaro-cli's open up for good: a lock left by a
    // process that is gone, a pipe beside it. Where that lock may not be
    // removed (immutable, as root), the target fails by itself, saying whose
    // lock it is; otherwise it is taken over, and a SIGTERM while the module
    // keeps silent ends the run within a second.
    void staleLockAndPipeHoldNothingUp() {
        QVERIFY(startModule(6, {"--fault", "silent"}));
        const QString lock = locks_.filePath(
            "LCK.." + QFile::symLinkTarget(dir_.filePath("COM6")).mid(5).replace('/', '_'));
        QFile stale(lock);
        QVERIFY(stale.open(QIODevice::WriteOnly) && stale.write(" 999999999\n") == 11);
        stale.close();
        QCOMPARE(::mkfifo(QFile::encodeName(lock + ".rmlock"), 0644), 0);
        if (QProcess::execute("chattr", {"+i", lock}) == 0) {
            QProcess& refused = run(dir_.filePath("velkaro-cli"), {"clock", "get", "--port", "6"});
            QVERIFY(refused.waitForFinished(5000));
            QProcess::execute("chattr", {"-i", lock});
            QCOMPARE(refused.exitCode(), 1);
            const QByteArray said = refused.readAllStandardOutput();
            QVERIFY2(said.contains(" is locked by " + lock.toLocal8Bit() + ", owned by " +
                                   QFileInfo(lock).owner().toLocal8Bit()),
                     said.constData());
        }
        QProcess& stopped =
            run(dir_.filePath("velkaro-cli"), {"clock", "get", "--port", "6", "--timeout", "30"});
        QTRY_VERIFY_WITH_TIMEOUT(holds("COM6.jsonl"), 10000);
        stopped.terminate();
        QVERIFY(stopped.waitForFinished(1000)); // SIGTERM ends it within a second
        QCOMPARE(stopped.exitCode(), 1);
        QCOMPARE(locks(), QStringList{QFileInfo(lock).fileName() + ".rmlock"});
    }

    // Options are answered before a display is needed; the toolkit's own
    // (which would change the window) are refused like any unknown one.
    void commandLine_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("output"); // in standard output or error
        QTest::newRow("help") << QStringList{"--help"} << 0 << "Usage: velkaro [options]";
        QTest::newRow("version") << QStringList{"--version"} << 0
                                 << "velkaro " VELKARO_VERSION "\n";
        QTest::newRow("unknown") << QStringList{"--port=3"} << 2
                                 << "velkaro: Unknown option 'port'.";
        QTest::newRow("toolkit style") << QStringList{"-style", "fusion"} << 2 << "option 'style'.";
        QTest::newRow("argument") << QStringList{"COM3"} << 2
                                  << "velkaro: unexpected argument \"COM3\"";
        QTest::newRow("no display") << QStringList{} << 1 << "velkaro: cannot show the window";
    }
    void commandLine() {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, output);
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(name);
        program.setProcessEnvironment(environment);
        program.start(dir_.filePath("velkaro"), arguments);
        QVERIFY(program.waitForFinished(10000) && program.exitStatus() == QProcess::NormalExit);
        QCOMPARE(program.exitCode(), status);
        const QString all = program.readAllStandardOutput() + program.readAllStandardError();
        QVERIFY2(all.contains(output), qPrintable(all));
    }

    // A session ending ends the program as closing its window does, also
    // when a burst of signals comes while a transaction blocks the window.
    void terminationSignalsReleaseThePort_data() {
        QTest::addColumn<QList<int>>("sent"); // one after another
        QTest::newRow("SIGTERM") << QList<int>{SIGTERM};
        QTest::newRow("SIGINT") << QList<int>{SIGINT};
        QList<int> burst;
        for (int i = 0; i < 1000; ++i)
            burst << SIGHUP << SIGTERM;
        QTest::newRow("2,000 during a clock read") << burst;
    }
    void terminationSignalsReleaseThePort() {
        QFETCH(QList<int>, sent);
        QVERIFY(startModule(3) && write("3#########"));
        const auto pid = static_cast<pid_t>(run(dir_.filePath("velkaro")).processId());
        QTRY_VERIFY_WITH_TIMEOUT(holds("COM3.jsonl"), 10000);
        if (sent.size() > 1) {
            keys("Tab Tab space"); // Read from: the wake byte, then a pause without events
            QTRY_VERIFY(read("COM3.jsonl").contains("\"dir\":\"rx\",\"hex\":\"80\"}"));
        }
        // Each signal is handled before the next is sent: signals of one kind
        // that wait together count once. Signals go through a descriptor of
        // the process, never by number, and stop once it has ended: its
        // number may then belong to another process.
        const int process = pidfdOpen(pid);
        QVERIFY(process >= 0);
        const auto closed = qScopeGuard([process] { ::close(process); });
        const QDeadlineTimer deadline(5000);
        for (const int signal : sent) {
            if (finished(process) || !pidfdSignal(process, signal))
                break;
            while (pending(pid, signal) && !finished(process) && !deadline.hasExpired())
                std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        QVERIFY(ended());
        QTRY_VERIFY(!holds("COM3.jsonl"));
        QCOMPARE(read("COM-BAUD.txt"), "3#########");
    }

    // On a Wayland desktop, here a headless compositor: the window comes up,
    // opens its port with the module's line, and a termination signal closes
    // it with the port released.
    void waylandWindow() {
        const QTemporaryDir runtime; // the compositor's socket; the user's alone
        QProcessEnvironment wayland = QProcessEnvironment::systemEnvironment();
        wayland.remove("DISPLAY");
        wayland.insert("XDG_RUNTIME_DIR", runtime.path());
        wayland.insert("WAYLAND_DISPLAY", "velkaro-test");
        run("weston", {"--backend=headless-backend.so", "--socket=velkaro-test", "--idle-time=0"},
            wayland);
        if (!QTest::qWaitFor([&] { return QFile::exists(runtime.filePath("velkaro-test")); },
                             10000))
            QSKIP("the Wayland compositor (weston, headless) cannot start here");
        QVERIFY(startModule(1) && write("1#########"));
        wayland.insert("QT_QPA_PLATFORM", "wayland");
        run(dir_.filePath("velkaro"), {}, wayland);
        QTRY_VERIFY_WITH_TIMEOUT(holds("COM1.jsonl"), 10000);
        processes_.back()->terminate();
        QVERIFY(ended());
        QTRY_VERIFY(!holds("COM1.jsonl"));
    }

    // An operator outside the device's group is told which group to join,
    // where that group may use the device and is not root's.
    void permissionDeniedNamesTheGroup_data() {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QByteArray>("advice");
        QTest::newRow("its group may use it")
            << 0660
            << QByteArray(", which belongs to group dialout: join that group (usually "
                          "dialout) and log in again");
        QTest::newRow("its owner's alone") << 0600 << QByteArray();
    }
    void permissionDeniedNamesTheGroup() {
        QFETCH(int, mode);
        QFETCH(QByteArray, advice);
        if (::geteuid() != 0)
            QSKIP("needs root, to start the program as another user");
        QVERIFY(startModule(5) && write("5#########"));
        QVERIFY(QFile::setPermissions(dir_.path(), QFile::permissions(dir_.path()) |
                                                       QFile::ReadOther | QFile::ExeOther));
        const QString device = QFile::symLinkTarget(dir_.filePath("COM5"));
        const group* dialout = ::getgrnam("dialout");
        QVERIFY(dialout &&
                ::chown(QFile::encodeName(device).constData(), 0, dialout->gr_gid) == 0 &&
                ::chmod(QFile::encodeName(device).constData(), mode) == 0);
        QProcess& program =
            run("env", {"QT_QPA_PLATFORM=offscreen", "setpriv", "--reuid=nobody", "--regid=nogroup",
                        "--clear-groups", dir_.filePath("velkaro")});
        const QByteArray expected =
            "velkaro: COM5: permission denied on " + device.toLatin1() + advice + '\n';
        QByteArray said;
        QTRY_VERIFY2((said += program.readAllStandardError()).contains(expected), said.constData());
    }

    // A port file that may only be read still names the port (as root, the
    // immutable attribute is what refuses a write). A second program on that
    // port says who holds it, and does not take the port once it is free.
    void readOnlyPortFileAndPortInUse() {
        QVERIFY(startModule(4) && write("4#########"));
        const QString file = dir_.filePath("COM-BAUD.txt");
        if (QProcess::execute("chattr", {"+i", file}) != 0)
            QSKIP("chattr +i is not available here");
        QProcess& first = run(dir_.filePath("velkaro"));
        const qint64 holder = first.processId();
        const bool opened = QTest::qWaitFor([&] { return holds("COM4.jsonl"); }, 10000);
        QProcess& second = run(dir_.filePath("velkaro"));
        QByteArray said; // read as it comes, while the first program holds the port
        const QByteArray expected =
            "velkaro: COM4: " + QFile::symLinkTarget(dir_.filePath("COM4")).toLatin1() +
            " is in use by process " + QByteArray::number(holder) + " (velkaro)";
        const bool told = QTest::qWaitFor(
            [&] { return (said += second.readAllStandardError()).contains(expected); }, 10000);
        QProcess::execute("chattr", {"-i", file});
        QVERIFY(opened);
        QVERIFY2(told, said.constData());
        first.terminate();
        QVERIFY(first.waitForFinished(10000));
        QTRY_VERIFY(!holds("COM4.jsonl"));
        QTest::qWait(2500); // more than two rounds of a retry, were there one
        QVERIFY(!holds("COM4.jsonl"));
    }
};

QTEST_GUILESS_MAIN(TestE2e)
#include "tst_e2e.moc"
