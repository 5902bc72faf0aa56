#include "config/declarations.h"
#include "config/default.h"
#include "config/portfile.h"
#include "config/portview.h"
#include "support/recordingcontrol.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <tuple>

namespace {

const QByteArray Missing = "<missing>"; // also what a folder or pipe reads as
const QByteArray Folder = "<folder>";
const QByteArray Secret = "not for velkaro: keep out";
constexpr CommError::Kind NoDevice = CommError::Kind::NoDevice;

struct Selection {
    int pick;              // the item picked in the port menu; 0 for start-up, -1
                           // for two ticks of the recovery while the port is closed
    QByteArray before;     // the port number file
    const char* failing;   // the control operation that fails
    QString state;         // the port label, the checked items, the port and,
                           // unless it is open, whether it is absent or refused
    QByteArray after = {}; // the port number file after; null: as before
    QString reason = {};   // in the port label's tooltip and the one warning
    CommError::Kind kind = CommError::Kind::Other; // of the failure
};

// The window as port selection sees it.
struct View : PortView {
    RecordingControl comm;
    QString label;
    QString toolTip;
    QString checked; // the items given a check mark
    Default::PortState result = Default::PortState::Open;

    CommControl& commControl() override { return comm; }
    void setPortLabel(const QString& text) override { label = text; }
    void setPortToolTip(const QString& text) override { toolTip = text; }
    QString portToolTip() const override { return toolTip; }
    void describePortInToolTip() override { toolTip = comm.deviceDescription(); }
    void setSpeedLabel(const QString&) override {}
    void setPortChecked(int index, bool on) override {
        checked += on ? QString::number(index) : "";
    }
    QString state() const {
        const char* const results[] = {"", " absent", " refused"};
        return QStringLiteral("%1 [%2] COM%3 %4%5")
            .arg(label, checked)
            .arg(comm.port)
            .arg(comm.open ? "open" : "closed", results[static_cast<int>(result)]);
    }
};

} // namespace

Q_DECLARE_METATYPE(Selection)

// Port selection at start-up and at a pick in the port menu, against a
// recording control, with the port number file on disk.
class TestPorts : public QObject {
    Q_OBJECT

private slots:
    // As the program does: a file grown past the size limit is an error to
    // report, not a reason to end.
    void initTestCase() { std::signal(SIGXFSZ, SIG_IGN); }
    void init() { QTest::failOnWarning(QRegularExpression(".")); }

    void selection_data() {
        QTest::addColumn<Selection>("selection");
        const auto row = [](const char* name, const Selection& selection) {
            QTest::newRow(name) << selection;
        };
        const QByteArray six = "6         ";
        row("start-up, no file: created empty", {0, Missing, "", "Com 1 [1] COM1 open", ""});
        row("start-up, 5 and nine blanks", {0, "5         ", "", "Com 5 [5] COM5 open"});
        row("start-up, 9 alone: no item", {0, "9", "", "Com 9 [] COM9 open"});
        row("start-up, 12", {0, "12        ", "", "Com 1 [1] COM1 open"});
        row("start-up, a letter", {0, "A", "", "Com 1 [1] COM1 open"});
        // The first open at start-up is of port 1, the second of the configured port.
        row("start-up, port missing",
            {0, "3", "PortOpen=true#2", "Not valid [3] COM3 closed absent", QByteArray(),
             "PortOpen=true missing", NoDevice});
        row("start-up, file a folder: port 1, one warning",
            {0, Folder, "", "Com 1 [1] COM1 open", Missing});
        row("pick over 25 bytes",
            {6, "3         0123456789ABCDE", "", "Com 6 [6] COM6 open", six + "0123456789ABCDE"});
        row("pick Com8 over an empty file", {8, "", "", "Com 8 [8] COM8 open", "8         "});
        row("pick, open refused: stored",
            {6, "2", "PortOpen=true", "Not valid [6] COM6 closed refused", six,
             "PortOpen=true refused"});
        // A device that stays missing is reported once, not at every tick.
        row("recovery, still missing", {-1, "2", "PortOpen=true", "Not valid [] COM1 closed absent",
                                        QByteArray(), "PortOpen=true missing", NoDevice});
        // The file may grow to one byte: the write stops short at the flush.
        row("pick, file size limit: the switch stands",
            {6, "2", "", "Not valid [6] COM6 open", "6", "cannot write " + QDir::tempPath()});
        row("pick, file a folder: the switch stands",
            {6, Folder, "", "Not valid [6] COM6 open", Missing,
             "COM-BAUD.txt: not a regular file; COM6 is /dev/recorded"});
        // The recording control refuses a port change while open, as the serial control does.
        row("pick, state read before the close fails",
            {6, "2", "PortOpen?#1", "Not valid [6] COM6 open", six, "PortOpen? refused"});
        row("pick, state read before the open fails",
            {6, "2", "PortOpen?#2", "Not valid [6] COM6 open", six, "PortOpen? refused"});
    }
    void selection() {
        QFETCH(Selection, selection);
        const QTemporaryDir dir;
        QFile file(portFilePath(dir.path()));
        if (selection.before == Folder)
            QVERIFY(QDir().mkpath(file.fileName()));
        else if (selection.before != Missing)
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(selection.before) >= 0);
        file.close();
        if (selection.before == Folder && selection.pick == 0)
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression("not a regular file; using port 1$"));
        if (!selection.reason.isEmpty())
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(QRegularExpression::escape(selection.reason)));

        View view;
        Declarations shared(dir.path());
        view.comm.open = selection.pick > 0; // a pick finds the port open
        view.comm.failing << selection.failing;
        view.comm.failingKind = selection.kind;
        const rlim_t size =
            QByteArray(QTest::currentDataTag()).contains("size limit") ? 1 : RLIM_INFINITY;
        const rlimit limited{size, RLIM_INFINITY}, unlimited{RLIM_INFINITY, RLIM_INFINITY};
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &limited) == 0);
        if (selection.pick > 0)
            view.result = Default::SelectComPort(view, shared, selection.pick);
        else if (selection.pick == 0)
            view.result = Default::OpenComPort(view, shared);
        else
            for (int tick = 0; tick < 2; ++tick)
                view.result = Default::RecoverComPort(view, shared);
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &unlimited) == 0);
        QVERIFY2(view.state() == selection.state,
                 qPrintable(view.state() + " after " + view.comm.calls.join(", ")));
        QVERIFY2(view.toolTip.contains(selection.reason), qPrintable(view.toolTip));
        const QByteArray after = selection.after.isNull() ? selection.before : selection.after;
        const bool regular = QFileInfo(file.fileName()).isFile();
        QCOMPARE(regular && file.open(QIODevice::ReadOnly) ? file.readAll() : Missing, after);
    }

    // As the package lays it out: the program folder's COM-BAUD.txt a link to
    // the file in a state folder. Whatever is put in that file's place, the
    // program neither writes nor creates anything through it.
    void portFileNeverLeavesItsPlace_data() {
        QTest::addColumn<QByteArray>("planted"); // in the state folder, in the file's place
        QTest::addColumn<QString>("reason");     // why it is refused; empty: used
        QTest::addColumn<QByteArray>("after");   // the secret file, or the honest file, after
        const QByteArray secret = Secret;
        const std::tuple<const char*, const char*, QByteArray> refusals[] = {
            {"link to a secret file", "a link, not a regular file", secret},
            {"dangling link", "a link, not a regular file", Missing},
            {"pipe", "not a regular file", Missing},
            {"second hard link", "a file with more than one name (hard links)", secret},
        };
        for (const auto& [planted, reason, after] : refusals) {
            for (const char* when : {"start-up", "pick"})
                QTest::addRow("%s, %s", planted, when)
                    << QByteArray(planted) << QString(reason) << after;
        }
        for (const char* link : {"", "absolute link, "}) {
            QTest::addRow("the package's file, %sstart-up", link)
                << QByteArray("3         rest") << QString() << QByteArray("3         rest");
            QTest::addRow("the package's file, %spick", link)
                << QByteArray("3         rest") << QString() << QByteArray("6         rest");
        }
    }
    void portFileNeverLeavesItsPlace() {
        QFETCH(QByteArray, planted);
        QFETCH(QString, reason);
        QFETCH(QByteArray, after);
        const bool pick = QByteArray(QTest::currentDataTag()).endsWith("pick");
        const QTemporaryDir dir;
        const QDir root(dir.path());
        QVERIFY(root.mkpath("program") && root.mkpath("state"));
        const QString place = root.filePath("state/COM-BAUD.txt");
        const bool absolute = QByteArray(QTest::currentDataTag()).contains("absolute");
        QVERIFY(QFile::link(absolute ? place : "../state/COM-BAUD.txt",
                            root.filePath("program/COM-BAUD.txt")));
        const QString secret = root.filePath("secret"); // another user's file
        const auto write = [](const QString& name, const QByteArray& bytes) {
            QFile file(name);
            return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
        };
        const QByteArray name = QFile::encodeName(place);
        if (planted == "link to a secret file")
            QVERIFY(write(secret, Secret) && QFile::link(secret, place));
        else if (planted == "dangling link")
            QVERIFY(QFile::link(secret, place));
        else if (planted == "pipe")
            QCOMPARE(::mkfifo(name.constData(), 0600), 0);
        else if (planted == "second hard link")
            QVERIFY(write(secret, Secret) && ::link(QFile::encodeName(secret), name) == 0);
        else
            QVERIFY(write(place, planted));
        const QStringList entries = root.entryList(QDir::AllEntries | QDir::System);
        const QString refusal = "cannot use " + place + ": " + reason +
                                (pick ? "; COM6 is /dev/recorded" : "; using port 1");
        if (!reason.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, qPrintable(refusal));

        View view;
        Declarations shared(root.filePath("program"));
        view.comm.open = pick;
        pick ? Default::SelectComPort(view, shared, 6) : Default::OpenComPort(view, shared);
        const QString state =
            pick ? reason.isEmpty() ? "Com 6 [6] COM6 open" : "Not valid [6] COM6 open"
            : reason.isEmpty() ? "Com 3 [3] COM3 open"
                               : "Com 1 [1] COM1 open";
        QCOMPARE(view.state(), state);
        QCOMPARE(view.toolTip, reason.isEmpty() ? view.comm.deviceDescription() : refusal);
        QCOMPARE(root.entryList(QDir::AllEntries | QDir::System), entries);
        QFile target(reason.isEmpty() ? place : secret);
        QCOMPARE(target.open(QIODevice::ReadOnly) ? target.readAll() : Missing, after);
    }
};

QTEST_GUILESS_MAIN(TestPorts)
#include "tst_ports.moc"
