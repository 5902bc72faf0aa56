#include "e2efixture.h"
#include "polling.h"

#include <QFile>
#include <QTest>

#include <memory>

using WindowLayout::Control;

// Start-up, the port menu and the two ways out, seen from the modules behind
// the ports and from the port number file on disk.
class TestE2eLifecycle : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void portPickedInTheMenuIsUsedStoredAndRemembered();
    void exitEndsTheProgramAndReleasesThePort();
    void closingTheWindowEndsTheProgramAndReleasesThePort();
    void missingPortFileIsCreatedEmptyInTheProgramFolder();

private:
    // Waits until the module's last event is "closed".
    bool waitForRelease(const SimulatedModule& module);
    // Clicks the clock "Read from" and waits for the module to hear a frame.
    bool readClockThrough(const SimulatedModule& module, int framesBefore);
    // The ports carrying the check mark in the port menu.
    QList<int> checkedPorts();
    void endsAndReleases(bool (ProgramRun::*close)());

    std::unique_ptr<XDisplay> display_;
    std::unique_ptr<E2eFixture> fixture_;
};

namespace {

QByteArray portRecord(char digit) {
    return QByteArray(1, digit) + QByteArray(9, ' ');
}

} // namespace

void TestE2eLifecycle::initTestCase() {
    display_ = std::make_unique<XDisplay>();
    if (!display_->isOpen()) {
        QSKIP(qPrintable(display_->error()));
    }
}

void TestE2eLifecycle::init() {
    fixture_ = std::make_unique<E2eFixture>(*display_);
    QVERIFY2(fixture_->isReady(), qPrintable(fixture_->error()));
}

void TestE2eLifecycle::cleanup() {
    fixture_.reset();
}

bool TestE2eLifecycle::waitForRelease(const SimulatedModule& module) {
    if (Polling::waitUntil(
            [&] { return module.transcript().lastEvent() == QLatin1String("closed"); },
            Polling::ExchangeTimeoutMs)) {
        return true;
    }
    qWarning("%s", qPrintable(module.transcriptText()));
    return false;
}

bool TestE2eLifecycle::readClockThrough(const SimulatedModule& module, int framesBefore) {
    ProgramRun& program = fixture_->program();
    if (!program.click(Control::Command1)) {
        qWarning("%s", qPrintable(program.error()));
        return false;
    }
    if (!fixture_->waitForEvents(module, QStringLiteral("frame"), framesBefore + 1)) {
        qWarning("%s", qPrintable(module.transcriptText()));
        return false;
    }
    return true;
}

QList<int> TestE2eLifecycle::checkedPorts() {
    QList<int> ports;
    if (!fixture_->program().checkedPorts(ports)) {
        qWarning("%s", qPrintable(fixture_->program().error()));
        return {-1};
    }
    return ports;
}

void TestE2eLifecycle::portPickedInTheMenuIsUsedStoredAndRemembered() {
    QVERIFY(fixture_->writePortFile(portRecord('1')));
    SimulatedModule* first = fixture_->startModule(1);
    QVERIFY2(first, qPrintable(fixture_->error()));
    SimulatedModule* second = fixture_->startModule(2);
    QVERIFY2(second, qPrintable(fixture_->error()));
    ProgramRun* program = fixture_->startProgram();
    QVERIFY2(program, qPrintable(fixture_->error()));
    QVERIFY(fixture_->waitForEvents(*first, QStringLiteral("opened"), 1));
    QCOMPARE(checkedPorts(), QList<int>{1});

    QVERIFY2(program->pickPort(2), qPrintable(program->error()));
    QVERIFY(fixture_->waitForEvents(*second, QStringLiteral("opened"), 1));
    QVERIFY(waitForRelease(*first));
    QCOMPARE(fixture_->portFile(), portRecord('2'));
    QCOMPARE(checkedPorts(), QList<int>{2});
    QVERIFY(readClockThrough(*second, 0));
    QCOMPARE(second->transcript().frames(), QList<QByteArray>{"H\r"});

    QVERIFY2(program->chooseExit(), qPrintable(program->error()));
    QVERIFY2(program->waitForExit(), qPrintable(program->error()));
    QVERIFY(waitForRelease(*second));

    // The next run comes up on the stored port.
    program = fixture_->startProgram();
    QVERIFY2(program, qPrintable(fixture_->error()));
    QVERIFY(fixture_->waitForEvents(*second, QStringLiteral("opened"), 2));
    QCOMPARE(checkedPorts(), QList<int>{2});
    QVERIFY(readClockThrough(*second, 1));
    QCOMPARE(second->transcript().frames(), (QList<QByteArray>{"H\r", "H\r"}));

    // Start-up may try port 1 on its way, but nothing is sent there and it
    // is not kept open.
    const Transcript firstSaw = first->transcript();
    QVERIFY2(firstSaw.received().isEmpty(), qPrintable(first->transcriptText()));
    QCOMPARE(firstSaw.lastEvent(), QStringLiteral("closed"));
    QCOMPARE(fixture_->portFile(), portRecord('2'));
}

void TestE2eLifecycle::endsAndReleases(bool (ProgramRun::*close)()) {
    // Only the first byte counts when the file is read; a store would blank
    // the other nine.
    const QByteArray record = "1" + QByteArray(9, '#');
    QVERIFY(fixture_->writePortFile(record));
    SimulatedModule* module = fixture_->startModule(1);
    QVERIFY2(module, qPrintable(fixture_->error()));
    ProgramRun* program = fixture_->startProgram();
    QVERIFY2(program, qPrintable(fixture_->error()));
    QVERIFY(fixture_->waitForEvents(*module, QStringLiteral("opened"), 1));
    const std::uint32_t window = program->window().id;

    QVERIFY2((program->*close)(), qPrintable(program->error()));
    QVERIFY2(program->waitForExit(), qPrintable(program->error()));
    QVERIFY(waitForRelease(*module));
    QVERIFY2(
        Polling::waitUntil([&] { return !display_->exists(window); }, Polling::ScreenTimeoutMs),
        "the window stayed");
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
    SimulatedModule* module = fixture_->startModule(1);
    QVERIFY2(module, qPrintable(fixture_->error()));
    ProgramRun* program = fixture_->startProgram();
    QVERIFY2(program, qPrintable(fixture_->error()));
    QVERIFY(fixture_->waitForEvents(*module, QStringLiteral("opened"), 1));

    QVERIFY(fixture_->portFileExists());
    QCOMPARE(fixture_->portFile(), QByteArray());
    QVERIFY(!QFile::exists(fixture_->workingFolder() + QStringLiteral("/COM-BAUD.txt")));
    QCOMPARE(checkedPorts(), QList<int>{1});
}

QTEST_GUILESS_MAIN(TestE2eLifecycle)
#include "tst_e2e_lifecycle.moc"
