#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

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

} // namespace

// The real program, copied into a temporary program folder, on the X display,
// with a simulated module behind COM1 and one behind COM2, driven by the
// keyboard as an operator would. The modules' transcripts (COMn.jsonl) and the
// port number file are read as the test goes.
class TestE2e : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
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
    QProcess& run(const QString& program, const QStringList& arguments = {}) {
        auto& process = *processes_.emplace_back(std::make_unique<QProcess>());
        process.setWorkingDirectory(QDir::tempPath()); // the port file is beside the program
        process.start(program, arguments);
        return process;
    }
    bool ended() const {
        return processes_.back()->waitForFinished(10000) && processes_.back()->exitCode() == 0;
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
    void cleanup() {
        for (const auto& process : processes_) {
            process->terminate();
            process->waitForFinished();
        }
    }

    void startClockPickCloseRestartExit() {
        QVERIFY2(qEnvironmentVariableIsSet("DISPLAY"), "needs an X display, e.g. by xvfb-run");
        QVERIFY(QFile::copy(VELKARO_PROGRAM, dir_.filePath("velkaro")));
        for (const char* port : {"COM1", "COM2"}) {
            const QString transcript = dir_.filePath(port + QString(".jsonl"));
            QStringList options{"--link", dir_.filePath(port), "--transcript", transcript};
            options << "--clock" << ModuleClock << "--frozen";
            // The module names its device once the link is in place.
            QVERIFY(run(VELKARO_MODULE_SIM, options).waitForReadyRead(5000));
        }
        // Only the first byte is read; a store would blank the other nine.
        QVERIFY(write("2#########"));

        // Start-up on the configured port, with the module's line.
        run(dir_.filePath("velkaro"));
        QTRY_VERIFY_WITH_TIMEOUT(holds("COM2.jsonl"), 10000);
        QVERIFY(read("COM2.jsonl").contains("\"speed\":9600,\"stop\":2"));
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
        QCOMPARE(read("COM-BAUD.txt"), "1         ");

        // Closing the window ends the program and releases the port.
        QVERIFY(write("1#########"));
        QVERIFY(requestClose(window()));
        QVERIFY(ended());
        QTRY_VERIFY(!holds("COM1.jsonl"));
        QCOMPARE(read("COM-BAUD.txt"), "1#########");
        // The next run talks on the port picked.
        run(dir_.filePath("velkaro"));
        keys("Tab Tab space");
        QTRY_VERIFY(read("COM1.jsonl").contains("\"reason\":\"clock read\""));
        // Exit ends the program and releases the port.
        keys("alt Return");
        QVERIFY(ended());
        QTRY_VERIFY(!holds("COM1.jsonl"));
        QCOMPARE(read("COM-BAUD.txt"), "1#########");
    }
};

QTEST_GUILESS_MAIN(TestE2e)
#include "tst_e2e.moc"
