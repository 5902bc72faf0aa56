#include "app/formcommunication.h"
#include "config/declarations.h"
#include "config/portfile.h"
#include "protocol/serialcontrol.h"
#include "support/ptypeer.h"
#include "support/recordingcontrol.h"

#include <QAction>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

// Start-up, the port menu and shutdown of the window on virtual serial lines
// linked as COMn in a temporary program folder.
class TestStartup : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void comesUpOnTheConfiguredPort();
    void missingConfiguredPortShowsNotValid();
    void portNineIsOpenedWithoutAMark();
    void pickSwitchesReopensAndStores();
    void pickOfAMissingPortIsStoredAnyway();
    void exitClosesThePortAndEndsAtOnce();
    void closingTheWindowClosesThePort();
    void shutdownLeavesAClosedPortAlone();
    void programCreatesAnEmptyPortFile();

private:
    void start(const QByteArray& portFile);
    QString portLabel() const { return label("Label3(0)"); }
    QString label(const char* name) const {
        return form_->findChild<QLabel*>(QString::fromLatin1(name))->text();
    }
    QAction* item(int port) const {
        return form_->findChild<QAction*>(QStringLiteral("Comxm(%1)").arg(port));
    }
    int checkedItem() const {
        int checked = 0;
        for (int i = 1; i <= 8; ++i) {
            if (item(i)->isChecked()) {
                checked = checked == 0 ? i : -1;
            }
        }
        return checked;
    }
    PtyPeer& peer(int port) {
        auto& slot = peers_[port];
        if (!slot) {
            slot = std::make_unique<PtyPeer>();
            slot->linkAs(dir_->path(), port);
        }
        return *slot;
    }
    void linkMissing(int port) const {
        QFile::link(dir_->filePath(QStringLiteral("nowhere")),
                    dir_->filePath(QStringLiteral("COM%1").arg(port)));
    }
    // Whether another program could open the port now: its lock is free.
    bool portIsFree(int port) const {
        SerialControl other(dir_->path());
        try {
            other.setCommPort(port);
            other.setPortOpen(true);
            return true;
        } catch (const CommError&) {
            return false;
        }
    }
    QByteArray portFile() const {
        QFile file(dir_->filePath(QStringLiteral("COM-BAUD.txt")));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    std::unique_ptr<QTemporaryDir> dir_;
    std::map<int, std::unique_ptr<PtyPeer>> peers_;
    std::unique_ptr<FormCommunication> form_;
    int ended_ = 0;
};

void TestStartup::init() {
    Declarations::reset();
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    setProgramFolder(dir_->path());
    ended_ = 0;
}

void TestStartup::cleanup() {
    form_.reset();
    peers_.clear();
    setProgramFolder(QString());
}

void TestStartup::start(const QByteArray& portFile) {
    QFile file(dir_->filePath(QStringLiteral("COM-BAUD.txt")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(portFile);
    file.close();
    form_ = std::make_unique<FormCommunication>();
    form_->setEndProgram([this] { ++ended_; });
    form_->Form_Load();
    form_->show();
    QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
}

void TestStartup::comesUpOnTheConfiguredPort() {
    peer(1);
    peer(3);
    start("3         ");
    QCOMPARE(portLabel(), QStringLiteral("Com 3"));
    QCOMPARE(label("Label3(1)"), QStringLiteral("9600"));
    QCOMPARE(checkedItem(), 3);
    form_->commControl().Output("x");
    QVERIFY(peer(3).waitForBytes(1, 2000));
    QCOMPARE(peer(3).receivedBytes(), QByteArray("x"));
    QCOMPARE(peer(1).receivedBytes(), QByteArray());
}

void TestStartup::missingConfiguredPortShowsNotValid() {
    peer(1);
    linkMissing(4);
    start("4");
    QCOMPARE(portLabel(), QStringLiteral("Not valid"));
    QCOMPARE(checkedItem(), 4);
    QVERIFY(!form_->commControl().PortOpen());
    QVERIFY(form_->isVisible());
    QVERIFY(portIsFree(1));
}

void TestStartup::portNineIsOpenedWithoutAMark() {
    peer(9);
    start("9");
    QCOMPARE(portLabel(), QStringLiteral("Com 9"));
    QCOMPARE(checkedItem(), 0);
    QVERIFY(form_->commControl().PortOpen());
    QVERIFY(!portIsFree(9));
}

void TestStartup::pickSwitchesReopensAndStores() {
    peer(1);
    peer(2);
    start("1         ");
    QVERIFY(!portIsFree(1));
    item(2)->trigger();
    QCOMPARE(portLabel(), QStringLiteral("Com 2"));
    QCOMPARE(checkedItem(), 2);
    QCOMPARE(portFile(), QByteArray("2         "));
    QVERIFY(portIsFree(1));
    form_->commControl().Output("y");
    QVERIFY(peer(2).waitForBytes(1, 2000));

    // The port already open is closed, reopened and stored again.
    QFile::remove(dir_->filePath(QStringLiteral("COM-BAUD.txt")));
    item(2)->trigger();
    QCOMPARE(checkedItem(), 2);
    QCOMPARE(portFile(), QByteArray("2         "));
    QVERIFY(form_->commControl().PortOpen());
}

void TestStartup::pickOfAMissingPortIsStoredAnyway() {
    peer(1);
    linkMissing(5);
    start("1");
    item(5)->trigger();
    QCOMPARE(portLabel(), QStringLiteral("Not valid"));
    QCOMPARE(checkedItem(), 5);
    QVERIFY(!form_->commControl().PortOpen());
    QCOMPARE(portFile(), QByteArray("5         "));
    QVERIFY(portIsFree(1));
}

void TestStartup::exitClosesThePortAndEndsAtOnce() {
    peer(1);
    start("1 and more");
    form_->findChild<QAction*>(QStringLiteral("Exitm"))->trigger();
    QCOMPARE(ended_, 1);
    QVERIFY(!form_->commControl().PortOpen());
    QVERIFY(portIsFree(1));
    QCOMPARE(portFile(), QByteArray("1 and more"));
}

void TestStartup::closingTheWindowClosesThePort() {
    peer(1);
    start("");
    QVERIFY(form_->close());
    QVERIFY(!form_->isVisible());
    QVERIFY(portIsFree(1));
    QCOMPARE(ended_, 0);
    QCOMPARE(portFile(), QByteArray());
}

void TestStartup::shutdownLeavesAClosedPortAlone() {
    for (const bool viaExit : {true, false}) {
        auto comm = std::make_unique<RecordingControl>();
        RecordingControl& calls = *comm;
        form_ = std::make_unique<FormCommunication>(std::move(comm));
        form_->setEndProgram([this] { ++ended_; });
        form_->show();
        if (viaExit) {
            form_->Exitm_Click();
        } else {
            QVERIFY(form_->close());
        }
        QCOMPARE(calls.calls, QStringList{"PortOpen?"});

        calls.setPortOpen(true);
        calls.calls.clear();
        calls.failing = {"PortOpen=false"};
        // A close that fails still lets the program end.
        if (viaExit) {
            form_->Exitm_Click();
            QCOMPARE(ended_, 2);
        } else {
            form_->show();
            QVERIFY(form_->close());
        }
        QCOMPARE(calls.calls, (QStringList{"PortOpen?", "PortOpen=false"}));
    }
}

void TestStartup::programCreatesAnEmptyPortFile() {
    const QString program = dir_->filePath(QStringLiteral("velkaro"));
    QVERIFY(QFile::copy(QStringLiteral(VELKARO_BINARY), program));
    QProcess run;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    run.setProcessEnvironment(env);
    run.start(program, {});
    QVERIFY(run.waitForStarted());
    QTRY_COMPARE_WITH_TIMEOUT(portFile(), QByteArray(), 10000);
    QCOMPARE(run.state(), QProcess::Running);
    run.kill();
    run.waitForFinished();
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
