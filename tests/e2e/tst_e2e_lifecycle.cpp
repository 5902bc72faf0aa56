#include "e2efixture.h"

#include <QFile>
#include <QTest>

using E2e::portRecord;
using WindowLayout::Control;

// Start-up, the port menu and the two ways out, seen from the modules behind
// the ports and from the port number file on disk.
class TestE2eLifecycle : public E2eSuite {
    Q_OBJECT

private slots:
    void portPickedInTheMenuIsUsedStoredAndRemembered();
    void exitEndsTheProgramAndReleasesThePort();
    void closingTheWindowEndsTheProgramAndReleasesThePort();
    void missingPortFileIsCreatedEmptyInTheProgramFolder();

private:
    // The ports carrying the check mark in the port menu.
    QList<int> checkedPorts();
    void endsAndReleases(bool (ProgramRun::*close)());
};

QList<int> TestE2eLifecycle::checkedPorts() {
    QList<int> ports;
    if (!fixture_->program().checkedPorts(ports)) {
        qWarning("%s", qPrintable(fixture_->program().error()));
        return {-1};
    }
    return ports;
}

void TestE2eLifecycle::portPickedInTheMenuIsUsedStoredAndRemembered() {
    QVERIFY(fixture_->writePortFile(portRecord(1)));
    SimulatedModule* first = fixture_->startModule(1);
    QVERIFY(first);
    SimulatedModule* second = fixture_->startModule(2);
    QVERIFY(second);
    ProgramRun* program = fixture_->startProgramOn(*first);
    QVERIFY(program);
    QCOMPARE(checkedPorts(), QList<int>{1});

    QVERIFY(fixture_->switchPort(2, *second));
    QVERIFY(fixture_->waitForLastEvent(*first, QStringLiteral("closed")));
    QCOMPARE(fixture_->portFile(), portRecord(2));
    QCOMPARE(checkedPorts(), QList<int>{2});
    QVERIFY(fixture_->clickForFrame(Control::Command1, *second, 1));
    QCOMPARE(second->transcript().frames(), QList<QByteArray>{"H\r"});

    QVERIFY2(program->chooseExit(), qPrintable(program->error()));
    QVERIFY2(program->waitForExit(), qPrintable(program->error()));
    QVERIFY(fixture_->waitForLastEvent(*second, QStringLiteral("closed")));

    // The next run comes up on the stored port.
    program = fixture_->startProgramOn(*second);
    QVERIFY(program);
    QCOMPARE(checkedPorts(), QList<int>{2});
    QVERIFY(fixture_->clickForFrame(Control::Command1, *second, 2));
    QCOMPARE(second->transcript().frames(), (QList<QByteArray>{"H\r", "H\r"}));

    // Start-up may try port 1 on its way, but nothing is sent there and it
    // is not kept open.
    const Transcript firstSaw = first->transcript();
    QVERIFY2(firstSaw.received().isEmpty(), qPrintable(first->transcriptText()));
    QCOMPARE(firstSaw.lastEvent(), QStringLiteral("closed"));
    QCOMPARE(fixture_->portFile(), portRecord(2));
}

void TestE2eLifecycle::endsAndReleases(bool (ProgramRun::*close)()) {
    // Only the first byte counts when the file is read; a store would blank
    // the other nine.
    const QByteArray record = "1" + QByteArray(9, '#');
    QVERIFY(fixture_->writePortFile(record));
    SimulatedModule* module = fixture_->startWithModule();
    QVERIFY(module);
    ProgramRun& program = fixture_->program();
    const std::uint32_t window = program.window().id;

    QVERIFY2((program.*close)(), qPrintable(program.error()));
    QVERIFY(fixture_->waitForEnd(*module, window));
    QCOMPARE(fixture_->portFile(), record);
}

void TestE2eLifecycle::exitEndsTheProgramAndReleasesThePort() {
    endsAndReleases(&ProgramRun::chooseExit);
}

void TestE2eLifecycle::closingTheWindowEndsTheProgramAndReleasesThePort() {
    endsAndReleases(&ProgramRun::closeWindow);
}

void TestE2eLifecycle::missingPortFileIsCreatedEmptyInTheProgramFolder() {
    QVERIFY(!fixture_->portFileExists());
    SimulatedModule* module = fixture_->startWithModule();
    QVERIFY(module);

    QVERIFY(fixture_->portFileExists());
    QCOMPARE(fixture_->portFile(), QByteArray());
    QVERIFY(!QFile::exists(fixture_->workingFolder() + QStringLiteral("/COM-BAUD.txt")));
    QCOMPARE(checkedPorts(), QList<int>{1});
}

QTEST_GUILESS_MAIN(TestE2eLifecycle)
#include "tst_e2e_lifecycle.moc"
