#include "config/declarations.h"
#include "config/default.h"
#include "config/portfile.h"
#include "config/portview.h"
#include "support/recordingcontrol.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

// The window as port selection sees it; label and menu writes go into the
// control's record, so that their order against the port operations shows.
class FakeView : public PortView {
public:
    RecordingControl comm;
    QString portLabel;
    QString speedLabel;
    bool checked[9] = {};

    CommControl& commControl() override { return comm; }
    void setPortLabel(const QString& text) override {
        portLabel = text;
        comm.calls << QStringLiteral("Label3(0)=") + text;
    }
    void setSpeedLabel(const QString& text) override {
        speedLabel = text;
        comm.calls << QStringLiteral("Label3(1)=") + text;
    }
    void setPortChecked(int index, bool on) override {
        checked[index] = on;
        comm.calls << QStringLiteral("Comxm(%1)=%2").arg(index).arg(on);
    }
    // The one checked item, 0 for none, -1 for more than one.
    int checkedItem() const {
        int item = 0;
        for (int i = 1; i <= 8; ++i) {
            if (checked[i]) {
                item = item == 0 ? i : -1;
            }
        }
        return item;
    }
};

QStringList marks(int port) {
    QStringList calls;
    for (int i = 1; i <= 8; ++i) {
        calls << QStringLiteral("Comxm(%1)=%2").arg(i).arg(i == port);
    }
    return calls;
}

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

} // namespace

class TestPortConfig : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void readRule_data();
    void readRule();
    void missingFileIsCreatedEmpty();
    void saveRewritesOnlyTheFirstRecord_data();
    void saveRewritesOnlyTheFirstRecord();

    void startUpRunsItsStepsInOrder();
    void startUpWithPortNine();
    void startUpFailures_data();
    void startUpFailures();
    void startUpWithoutAPortFile_data();
    void startUpWithoutAPortFile();
    void startUpGoesOnWhenPortOneIsMissing();

    void pickSwitchesReopensAndStores();
    void pickFailures_data();
    void pickFailures();

private:
    QTemporaryDir dir_;
    QString file_;
};

void TestPortConfig::init() {
    Declarations::reset();
    QVERIFY(dir_.isValid());
    setProgramFolder(dir_.path());
    file_ = dir_.filePath(QStringLiteral("COM-BAUD.txt"));
    QDir(file_).removeRecursively();
    QFile::remove(file_);
}

void TestPortConfig::cleanup() {
    setProgramFolder(QString());
}

void TestPortConfig::readRule_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("port");
    QTest::newRow("empty") << QByteArray() << 1;
    QTest::newRow("full record 5") << QByteArray("5         ") << 5;
    QTest::newRow("9 alone") << QByteArray("9") << 9;
    QTest::newRow("short file 7") << QByteArray("7  ") << 7;
    QTest::newRow("12") << QByteArray("12        ") << 1;
    QTest::newRow("blank") << QByteArray("          ") << 1;
    QTest::newRow("zero") << QByteArray("0         ") << 1;
    QTest::newRow("letter") << QByteArray("A         ") << 1;
    QTest::newRow("NUL") << QByteArray(10, '\0') << 1;
    QTest::newRow("longer file") << QByteArray("4         trailing bytes") << 4;
}

void TestPortConfig::readRule() {
    QFETCH(QByteArray, content);
    QFETCH(int, port);
    writeFile(file_, content);
    QCOMPARE(readPortFile(), port);
    QCOMPARE(fileBytes(file_), content);
}

void TestPortConfig::missingFileIsCreatedEmpty() {
    QCOMPARE(readPortFile(), 1);
    QCOMPARE(fileBytes(file_), QByteArray());
    QCOMPARE(QByteArray(Declarations::ComRecord.data(), 10), QByteArray(10, '\0'));
}

void TestPortConfig::saveRewritesOnlyTheFirstRecord_data() {
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<int>("port");
    QTest::addColumn<QByteArray>("after");
    const QByteArray tail = "0123456789ABCDE";
    QTest::newRow("8 over 25 bytes")
        << QByteArray("3         ") + tail << 8 << QByteArray("8         ") + tail;
    QTest::newRow("4 over empty") << QByteArray() << 4 << QByteArray("4         ");
    QTest::newRow("1 over 3 bytes") << QByteArray("7xy") << 1 << QByteArray("1         ");
}

void TestPortConfig::saveRewritesOnlyTheFirstRecord() {
    QFETCH(QByteArray, before);
    QFETCH(int, port);
    QFETCH(QByteArray, after);
    writeFile(file_, before);
    Declarations::ComPortNumber = port;
    Default::SaveComPort();
    QCOMPARE(fileBytes(file_), after);
    QCOMPARE(readPortFile(), port);
}

void TestPortConfig::startUpRunsItsStepsInOrder() {
    writeFile(file_, "3         ");
    FakeView view;
    Default::OpenComPort(view);
    const QStringList expected =
        QStringList{"Label3(1)=9600", "PortOpen?", "Settings=9600,n,8,2", "PortOpen?",
                    "PortOpen=true"} +
        marks(3) + QStringList{"PortOpen?", "PortOpen=false", "InputLen=1", "Label3(0)=Com 3",
                               "PortOpen?", "CommPort=3",     "PortOpen?",  "PortOpen=true"};
    QCOMPARE(view.comm.calls, expected);
    QCOMPARE(Declarations::ComPortNumber, 3);
    QCOMPARE(view.checkedItem(), 3);
    QVERIFY(view.comm.PortOpen());
    QCOMPARE(fileBytes(file_), QByteArray("3         "));
}

void TestPortConfig::startUpWithPortNine() {
    writeFile(file_, "9");
    FakeView view;
    Default::OpenComPort(view);
    QCOMPARE(view.checkedItem(), 0);
    QCOMPARE(view.portLabel, QStringLiteral("Com 9"));
    QCOMPARE(view.comm.port(), 9);
}

// Each caught failure writes "Not valid" and the run goes on with the step the
// failure table names.
void TestPortConfig::startUpFailures_data() {
    QTest::addColumn<QStringList>("failing");
    QTest::addColumn<QStringList>("tail");
    QTest::addColumn<bool>("open");
    QTest::newRow("state read before the close")
        << QStringList{"PortOpen?#4"}
        << QStringList{"PortOpen?", "PortOpen=false", "CommPort=3", "PortOpen?", "PortOpen=true"}
        << true;
    QTest::newRow("close") << QStringList{"PortOpen?#4", "PortOpen=false#2"}
                           << QStringList{"PortOpen?", "PortOpen=false", "CommPort=3", "PortOpen?",
                                          "PortOpen=true"}
                           << true;
    QTest::newRow("port number") << QStringList{"CommPort=3"}
                                 << QStringList{"PortOpen?", "CommPort=3", "PortOpen?",
                                                "PortOpen=true"}
                                 << true;
    QTest::newRow("state read before the open")
        << QStringList{"PortOpen?#5"}
        << QStringList{"PortOpen?", "CommPort=3", "PortOpen?", "PortOpen=true"} << true;
    QTest::newRow("open") << QStringList{"PortOpen=true@3"}
                          << QStringList{"PortOpen?", "CommPort=3", "PortOpen?", "PortOpen=true"}
                          << false;
}

void TestPortConfig::startUpFailures() {
    QFETCH(QStringList, failing);
    QFETCH(QStringList, tail);
    QFETCH(bool, open);
    writeFile(file_, "3");
    FakeView view;
    view.comm.failing = QSet<QString>(failing.begin(), failing.end());
    Default::OpenComPort(view);
    const qsizetype start = view.comm.calls.indexOf("Label3(0)=Com 3") + 1;
    QStringList actual = view.comm.calls.mid(start);
    actual.removeAll(QStringLiteral("Label3(0)=Not valid"));
    QCOMPARE(actual, tail);
    QCOMPARE(view.portLabel, QStringLiteral("Not valid"));
    QCOMPARE(view.checkedItem(), 3);
    QCOMPARE(view.comm.PortOpen(), open);
}

void TestPortConfig::startUpWithoutAPortFile_data() {
    QTest::addColumn<bool>("folderMissing");
    QTest::newRow("file is a folder") << false;
    QTest::newRow("program folder missing") << true;
}

void TestPortConfig::startUpWithoutAPortFile() {
    QFETCH(bool, folderMissing);
    if (folderMissing) {
        setProgramFolder(dir_.filePath(QStringLiteral("gone")));
    } else {
        QVERIFY(QDir().mkpath(file_));
    }
    FakeView view;
    Default::OpenComPort(view);
    QCOMPARE(Declarations::ComPortNumber, 1);
    QCOMPARE(view.portLabel, QStringLiteral("Com 1"));
    QCOMPARE(view.checkedItem(), 1);
    QVERIFY(view.comm.PortOpen());
    QCOMPARE(view.comm.port(), 1);
}

void TestPortConfig::startUpGoesOnWhenPortOneIsMissing() {
    writeFile(file_, "2");
    FakeView view;
    view.comm.failing = {"PortOpen=true@1"};
    Default::OpenComPort(view);
    QCOMPARE(view.portLabel, QStringLiteral("Com 2"));
    QVERIFY(view.comm.PortOpen());
    QCOMPARE(view.comm.port(), 2);
}

void TestPortConfig::pickSwitchesReopensAndStores() {
    FakeView view;
    for (const int port : {5, 5, 2}) {
        view.comm.calls.clear();
        Default::SelectComPort(view, port);
        const QString label = QStringLiteral("Com %1").arg(port);
        const QString commPort = QStringLiteral("CommPort=%1").arg(port);
        const bool wasOpen = view.comm.calls.count("PortOpen=false") == 1;
        const QStringList expected = marks(port) + QStringList{"Label3(0)=" + label, "PortOpen?"} +
                                     (wasOpen ? QStringList{"PortOpen=false"} : QStringList{}) +
                                     QStringList{commPort, "PortOpen?", "PortOpen=true"};
        QCOMPARE(view.comm.calls, expected);
        QCOMPARE(view.portLabel, label);
        QCOMPARE(view.checkedItem(), port);
        QCOMPARE(Declarations::ComPortNumber, port);
        QCOMPARE(fileBytes(file_), QByteArray::number(port) + QByteArray(9, ' '));
    }
    QVERIFY(view.comm.PortOpen());
}

void TestPortConfig::pickFailures_data() {
    QTest::addColumn<QStringList>("failing");
    QTest::addColumn<bool>("open");
    QTest::addColumn<QByteArray>("stored");
    QTest::newRow("state read") << QStringList{"PortOpen?#1"} << true << QByteArray("6         ");
    QTest::newRow("close") << QStringList{"PortOpen=false"} << true << QByteArray("6         ");
    QTest::newRow("port number") << QStringList{"CommPort=6"} << true << QByteArray("6         ");
    QTest::newRow("open") << QStringList{"PortOpen=true@6"} << false << QByteArray("6         ");
    QTest::newRow("store") << QStringList{"store"} << true << QByteArray("<missing>");
}

void TestPortConfig::pickFailures() {
    QFETCH(QStringList, failing);
    QFETCH(bool, open);
    QFETCH(QByteArray, stored);
    FakeView view;
    view.comm.setPortOpen(true);
    view.comm.failing = QSet<QString>(failing.begin(), failing.end());
    if (failing.contains("store")) {
        setProgramFolder(dir_.filePath(QStringLiteral("gone")));
        file_ = dir_.filePath(QStringLiteral("gone/COM-BAUD.txt"));
    }
    Default::SelectComPort(view, 6);
    QCOMPARE(view.portLabel, QStringLiteral("Not valid"));
    QCOMPARE(view.checkedItem(), 6);
    QCOMPARE(view.comm.PortOpen(), open);
    QCOMPARE(Declarations::ComPortNumber, 6);
    QCOMPARE(fileBytes(file_), stored);
}

QTEST_GUILESS_MAIN(TestPortConfig)
#include "tst_portconfig.moc"
