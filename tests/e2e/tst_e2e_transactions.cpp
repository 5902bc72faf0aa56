#include "e2efixture.h"
#include "polling.h"
#include "screenpixels.h"

#include <QDateTime>
#include <QTest>

using E2e::CR;
using E2e::hexCode;
using E2e::Wake;
using WindowLayout::Control;

// The four command transactions, clicked in the real window, as the module
// at the far end of the line receives them.
class TestE2eTransactions : public E2eSuite {
    Q_OBJECT

private slots:
    void clockReadThenSetSendsTheModulesOwnClockBack();
    void scheduleReadThenSetSendsTheModulesOwnCodesBack();
    void setPcThenSetIntoSetsTheComputersClock();
    void typedClockTextGoesOutAsTypedUpToSeventeenCharacters();
    void busyLabelShowsDuringThePauseOnly();
    void windowShowsTheDecodedReplies();
};

namespace {

const QString ModuleClock = QStringLiteral("24/02/29 13:14:15");

QStringList accepted(const Transcript& transcript) {
    QStringList reasons;
    for (const Transcript::Entry& frame : transcript.events(QStringLiteral("frame"))) {
        if (frame.fields.value(QStringLiteral("accepted")).toBool()) {
            reasons.append(frame.fields.value(QStringLiteral("reason")).toString());
        }
    }
    return reasons;
}

// Every frame came at least 0.9 s after its wake byte, or the module would
// not have listened; the program waits a full second.
bool framesCameAfterTheirWakeByte(const Transcript& transcript) {
    const QList<double> gaps = transcript.wakeToFrameGaps();
    if (gaps.size() != transcript.frames().size() ||
        transcript.count(QStringLiteral("ignored")) != 0) {
        return false;
    }
    for (double gap : gaps) {
        if (gap < 0.9) {
            return false;
        }
    }
    return true;
}

// "yy/mm/dd hh:mm:ss" of the years 2000 to 2099, in local time.
QDateTime clockValue(const QString& text) {
    return QDateTime::fromString(QStringLiteral("20") + text,
                                 QStringLiteral("yyyy/MM/dd HH:mm:ss"));
}

} // namespace

void TestE2eTransactions::clockReadThenSetSendsTheModulesOwnClockBack() {
    SimulatedModule* module = fixture_->startWithModule(
        {QStringLiteral("--clock"), ModuleClock, QStringLiteral("--frozen")});
    QVERIFY(module);

    QVERIFY(fixture_->clickForFrame(Control::Command1, *module, 1));
    // The reply has been decoded once the clock field shows it.
    QVERIFY2(fixture_->waitForText(Control::TextCMD13),
             "the clock field stayed empty after the read");
    QVERIFY(fixture_->clickForFrame(Control::CMD13, *module, 2));

    const Transcript transcript = module->transcript();
    const QByteArray clockSet = "h" + ModuleClock.toLatin1() + CR;
    QCOMPARE(transcript.frames(), (QList<QByteArray>{"H" + CR, clockSet}));
    QCOMPARE(transcript.received(), Wake + "H" + CR + Wake + clockSet);
    QCOMPARE(accepted(transcript), (QStringList{"clock read", "clock set"}));
    const QList<Transcript::Entry> clocks = transcript.events(QStringLiteral("clock"));
    QCOMPARE(clocks.size(), 1);
    QCOMPARE(clocks.constFirst().fields.value(QStringLiteral("value")).toString(), ModuleClock);

    // Start-up may open the port more than once; every open is at 9600,n,8,2.
    const QList<Transcript::Entry> opened = transcript.events(QStringLiteral("opened"));
    QVERIFY(!opened.isEmpty());
    for (const Transcript::Entry& open : opened) {
        QCOMPARE(open.fields.value(QStringLiteral("speed")).toInt(), 9600);
        QCOMPARE(open.fields.value(QStringLiteral("parity")).toString(), QStringLiteral("n"));
        QCOMPARE(open.fields.value(QStringLiteral("data")).toInt(), 8);
        QCOMPARE(open.fields.value(QStringLiteral("stop")).toInt(), 2);
    }
    QVERIFY2(framesCameAfterTheirWakeByte(transcript), qPrintable(module->transcriptText()));
}

void TestE2eTransactions::scheduleReadThenSetSendsTheModulesOwnCodesBack() {
    const int rate = 5;
    const int onTime = 42;
    SimulatedModule* module =
        fixture_->startWithModule({QStringLiteral("--rate"), QString::number(rate),
                                   QStringLiteral("--on-time"), QString::number(onTime)});
    QVERIFY(module);

    QVERIFY(fixture_->clickForFrame(Control::Command6, *module, 1));
    QVERIFY2(fixture_->waitForText(Control::Text3),
             "the on-time field stayed empty after the read");
    QVERIFY2(
        fixture_->waitForText(Control::Combo1, true, WindowLayout::rect(Control::Combo1).height()),
        "the rate list shows no entry after the read");
    QVERIFY(fixture_->clickForFrame(Control::CMDS34, *module, 2));

    const Transcript transcript = module->transcript();
    const QByteArray scheduleSet = "f" + hexCode(rate) + hexCode(onTime) + CR;
    QCOMPARE(transcript.frames(), (QList<QByteArray>{"B00" + CR, scheduleSet}));
    QCOMPARE(accepted(transcript), (QStringList{"schedule read", "schedule set"}));
    const QList<Transcript::Entry> schedules = transcript.events(QStringLiteral("schedule"));
    QCOMPARE(schedules.size(), 1);
    QCOMPARE(schedules.constFirst().fields.value(QStringLiteral("rate")).toInt(), rate);
    QCOMPARE(schedules.constFirst().fields.value(QStringLiteral("on_time")).toInt(), onTime);
    QVERIFY2(framesCameAfterTheirWakeByte(transcript), qPrintable(module->transcriptText()));
}

void TestE2eTransactions::setPcThenSetIntoSetsTheComputersClock() {
    SimulatedModule* module = fixture_->startWithModule();
    QVERIFY(module);
    ProgramRun& program = fixture_->program();

    // The clock text has whole seconds.
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    QVERIFY2(program.click(Control::CMD4), qPrintable(program.error()));
    QVERIFY(fixture_->clickForFrame(Control::CMD13, *module, 1));
    const QDateTime after = QDateTime::currentDateTime();

    const Transcript transcript = module->transcript();
    QCOMPARE(accepted(transcript), QStringList{"clock set"});
    const QString value = transcript.events(QStringLiteral("clock"))
                              .constFirst()
                              .fields.value(QStringLiteral("value"))
                              .toString();
    const QDateTime set = clockValue(value);
    QVERIFY2(set.isValid(), qPrintable(value));
    QVERIFY2(
        before <= set && set <= after,
        qPrintable(QStringLiteral("the module was set to %1, the computer's clock read %2 "
                                  "to %3")
                       .arg(value, before.toString(Qt::ISODate), after.toString(Qt::ISODate))));
    QVERIFY2(framesCameAfterTheirWakeByte(transcript), qPrintable(module->transcriptText()));
}

void TestE2eTransactions::typedClockTextGoesOutAsTypedUpToSeventeenCharacters() {
    SimulatedModule* module = fixture_->startWithModule();
    QVERIFY(module);
    ProgramRun& program = fixture_->program();

    // One character more than the field takes.
    const QString typed = QStringLiteral("25/12/24 18:30:009");
    const QString kept = typed.left(17);
    QVERIFY2(program.typeIntoClockField(typed), qPrintable(program.error()));
    QVERIFY(fixture_->clickForFrame(Control::CMD13, *module, 1));

    const Transcript transcript = module->transcript();
    QCOMPARE(transcript.frames(), QList<QByteArray>{"h" + kept.toLatin1() + CR});
    QCOMPARE(transcript.events(QStringLiteral("clock"))
                 .constFirst()
                 .fields.value(QStringLiteral("value"))
                 .toString(),
             kept);
}

void TestE2eTransactions::busyLabelShowsDuringThePauseOnly() {
    SimulatedModule* module = fixture_->startWithModule();
    QVERIFY(module);
    ProgramRun& program = fixture_->program();
    const int area = WindowLayout::rect(Control::LabelWait).width() *
                     WindowLayout::rect(Control::LabelWait).height();
    QCOMPARE(ScreenPixels::count(program.grab(Control::LabelWait), ScreenPixels::isBusyRed), 0);

    QVERIFY2(program.click(Control::Command6), qPrintable(program.error()));
    QImage busy;
    bool frameCameFirst = false;
    Polling::waitUntil(
        [&] {
            const QImage picture = program.grab(Control::LabelWait);
            if (ScreenPixels::count(picture, ScreenPixels::isBusyRed) > area / 2) {
                busy = picture;
                return true;
            }
            frameCameFirst = module->transcript().count(QStringLiteral("frame")) > 0;
            return frameCameFirst;
        },
        Polling::ExchangeTimeoutMs);
    QVERIFY2(!busy.isNull(), frameCameFirst ? "the transaction ended without a red busy label"
                                            : "no red busy label showed");
    // The caption "WAIT..." stands on the red.
    QVERIFY(ScreenPixels::count(busy, ScreenPixels::isInk) > 0);

    QVERIFY(fixture_->waitForEvents(*module, QStringLiteral("frame"), 1));
    QVERIFY2(fixture_->waitUntilNotBusy(), "the busy label stayed after the transaction");
}

void TestE2eTransactions::windowShowsTheDecodedReplies() {
    SimulatedModule* module = fixture_->startWithModule(
        {QStringLiteral("--clock"), QStringLiteral("26/01/05 09:07:03"), QStringLiteral("--frozen"),
         QStringLiteral("--rate"), QStringLiteral("3"), QStringLiteral("--on-time"),
         QStringLiteral("100")});
    QVERIFY(module);
    ProgramRun& program = fixture_->program();
    const int rateButton = WindowLayout::rect(Control::Combo1).height();
    QCOMPARE(fixture_->textPixels(Control::TextCMD13), 0);
    QCOMPARE(fixture_->textPixels(Control::Text3), 0);
    QCOMPARE(fixture_->textPixels(Control::Combo1, rateButton), 0);

    QVERIFY(fixture_->clickForFrame(Control::Command1, *module, 1));
    QVERIFY(fixture_->waitForText(Control::TextCMD13));
    QVERIFY(fixture_->clickForFrame(Control::Command6, *module, 2));
    QVERIFY(fixture_->waitForText(Control::Text3));
    QVERIFY(fixture_->waitForText(Control::Combo1, true, rateButton));

    QVERIFY2(program.parkPointer(), qPrintable(program.error()));
    QVERIFY2(program.waitUntilAlone(), qPrintable(program.error()));
    QVERIFY(fixture_->waitUntilNotBusy());
    const QImage window = program.grabWindow();
    QCOMPARE(window.size(), program.window().geometry.size());
    QVERIFY2(window.save(QStringLiteral(VELKARO_WINDOW_PICTURE)), VELKARO_WINDOW_PICTURE);
    qInfo("the window with decoded replies: %s", VELKARO_WINDOW_PICTURE);
}

QTEST_GUILESS_MAIN(TestE2eTransactions)
#include "tst_e2e_transactions.moc"
