#include "app/formcommunication.h"
#include "config/declarations.h"
#include "config/portfile.h"
#include "support/ptypeer.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <chrono>

using namespace std::chrono_literals;

// The four command transactions, watched from the far end of a virtual
// serial line on COM1.
class TestTransactions : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void pauseLastsASecondAndHandlesNoEvents();
    void wakeBytePauseFrame_data();
    void wakeBytePauseFrame();
    void scheduleSetWithNothingSelected();
    void readsEmptyTheLogAndSetsReplyMode();
    void busyLabelShowsForTheWholeTransaction();
    void aClickInTheEventPassRunsItsOwnTransaction();
    void closedPortSendsNothing();
    void windowClosedInTheEventPassSendsNothing();

private:
    template <typename T> T* child(const char* name) const {
        return form_->findChild<T*>(QString::fromLatin1(name));
    }
    // The wake byte, then the frame no sooner than a second later.
    void expectOnTheWire(const QList<QByteArray>& frames);

    QTemporaryDir dir_;
    std::unique_ptr<PtyPeer> peer_;
    std::unique_ptr<FormCommunication> form_;
};

void TestTransactions::initTestCase() {
    QVERIFY(dir_.isValid());
    setProgramFolder(dir_.path());
}

void TestTransactions::init() {
    Declarations::reset();
    peer_ = std::make_unique<PtyPeer>();
    QVERIFY(peer_->linkAs(dir_.path(), 1));
    form_ = std::make_unique<FormCommunication>();
    form_->Form_Load();
    QVERIFY(form_->commControl().PortOpen());
}

void TestTransactions::cleanup() {
    form_.reset();
    peer_.reset();
}

void TestTransactions::expectOnTheWire(const QList<QByteArray>& frames) {
    QByteArray expected;
    for (const QByteArray& frame : frames) {
        expected += '\x80' + frame;
    }
    QVERIFY(peer_->waitForBytes(expected.size(), 3000));
    QCOMPARE(peer_->receivedBytes().toHex(' '), expected.toHex(' '));

    // Each wake byte arrives alone, and the frame after it no sooner than a
    // second later. The far end stamps bytes when its reader thread wakes, so
    // the gap is allowed that thread's scheduling delay on a busy machine; the
    // pause itself is measured exactly in its own test.
    const auto allowance = 20ms;
    std::chrono::steady_clock::time_point wokeAt{};
    bool frameStarts = false;
    for (const PtyPeer::Received& chunk : peer_->received()) {
        for (qsizetype i = 0; i < chunk.bytes.size(); ++i) {
            if (chunk.bytes[i] == '\x80') {
                QVERIFY2(i == chunk.bytes.size() - 1, "wake byte sent together with a frame");
                wokeAt = chunk.at;
                frameStarts = true;
            } else if (frameStarts) {
                QVERIFY2(chunk.at - wokeAt >= 1000ms - allowance,
                         "frame sent less than a second after its wake byte");
                frameStarts = false;
            }
        }
    }
}

void TestTransactions::pauseLastsASecondAndHandlesNoEvents() {
    bool handled = false;
    QObject pending; // the timer goes with this test, not into the next one
    QTimer::singleShot(0, &pending, [&] { handled = true; });
    const auto start = std::chrono::steady_clock::now();
    form_->wait1();
    const auto paused = std::chrono::steady_clock::now() - start;
    QVERIFY(paused >= 1000ms);
    QVERIFY(paused < 1500ms);
    QVERIFY(!handled);
}

void TestTransactions::wakeBytePauseFrame_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("onTime");
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("clock read") << "Command1" << -1 << 240 << QByteArray("H\r");
    QTest::newRow("clock set") << "CMD13" << -1 << 240 << QByteArray("h26/01/05 09:07:03\r");
    QTest::newRow("schedule read") << "Command6" << -1 << 240 << QByteArray("B00\r");
    QTest::newRow("schedule set 1 h, 100 s") << "CMDS34" << 1 << 100 << QByteArray("f0164\r");
    QTest::newRow("schedule set 1 s") << "CMDS34" << 6 << 1 << QByteArray("f0601\r");
    QTest::newRow("schedule set 10 s") << "CMDS34" << 0 << 10 << QByteArray("f000A\r");
    QTest::newRow("schedule set 240 s") << "CMDS34" << 3 << 240 << QByteArray("f03F0\r");
}

void TestTransactions::wakeBytePauseFrame() {
    QFETCH(QString, button);
    QFETCH(int, rate);
    QFETCH(int, onTime);
    QFETCH(QByteArray, frame);
    child<QLineEdit>("TextCMD13")->setText(QStringLiteral("26/01/05 09:07:03"));
    child<QComboBox>("Combo1")->setCurrentIndex(rate);
    child<QScrollBar>("VScroll1")->setValue(onTime);
    const QString onTimeText = child<QLineEdit>("Text3")->text();

    form_->findChild<QAbstractButton*>(button)->click();
    expectOnTheWire({frame});

    // The set transactions keep what the window showed, but for the on-time
    // of 240, which reads "240" without its blank afterwards.
    QCOMPARE(child<QComboBox>("Combo1")->currentIndex(), rate);
    QCOMPARE(child<QScrollBar>("VScroll1")->value(), onTime);
    QCOMPARE(child<QLineEdit>("Text3")->text(),
             button == "CMDS34" && onTime == 240 ? QStringLiteral("240") : onTimeText);
}

void TestTransactions::scheduleSetWithNothingSelected() {
    child<QScrollBar>("VScroll1")->setValue(100);
    form_->CMDS34_Click();
    expectOnTheWire({"f0064\r"});
    QCOMPARE(child<QComboBox>("Combo1")->currentIndex(), 0);
    QCOMPARE(child<QComboBox>("Combo1")->currentText(), QStringLiteral("30  Minutes"));
}

void TestTransactions::readsEmptyTheLogAndSetsReplyMode() {
    // Something the module said earlier stands in the log.
    QVERIFY(peer_->send("noise\r"));
    QTRY_COMPARE(form_->receiveLog(), QByteArray("noise\r\n"));

    form_->CMD13_Click();
    QCOMPARE(form_->receiveLog(), QByteArray("noise\r\n\r\n"));
    QCOMPARE(Declarations::ReplyMode, 0);

    form_->Command6_Click();
    QCOMPARE(form_->receiveLog(), QByteArray());
    QCOMPARE(Declarations::ReplyMode, 2);

    QVERIFY(peer_->send("SLOTS5,2A\r"));
    QTRY_COMPARE(child<QLineEdit>("Text3")->text(), QStringLiteral(" 42"));
    form_->CMDS34_Click();
    QCOMPARE(form_->receiveLog(), QByteArray("SLOTS5,2A\r\n"));
    QCOMPARE(Declarations::ReplyMode, 2);

    form_->Command1_Click();
    QCOMPARE(form_->receiveLog(), QByteArray());
    QCOMPARE(Declarations::ReplyMode, 1);
    expectOnTheWire({"h\r", "B00\r", "f052A\r", "H\r"});
}

void TestTransactions::busyLabelShowsForTheWholeTransaction() {
    auto* busy = child<QLabel>("LabelWait");
    form_->show();
    QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    bool shownInEventPass = false;
    QTimer::singleShot(0, this, [&] { shownInEventPass = busy->isVisible(); });
    form_->Command1_Click();
    QVERIFY(shownInEventPass);
    QVERIFY(!busy->isVisible());
}

void TestTransactions::aClickInTheEventPassRunsItsOwnTransaction() {
    auto* busy = child<QLabel>("LabelWait");
    form_->show();
    QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    bool shownAfterInner = false;
    QTimer::singleShot(0, this, [&] {
        form_->Command6_Click();
        shownAfterInner = busy->isVisible();
    });
    form_->Command1_Click();
    expectOnTheWire({"B00\r", "H\r"});
    QVERIFY(shownAfterInner);
    QVERIFY(!busy->isVisible());
    QCOMPARE(Declarations::ReplyMode, 1);
}

void TestTransactions::closedPortSendsNothing() {
    form_->commControl().setPortOpen(false);
    form_->Command1_Click();
    form_->CMD13_Click();
    form_->Command6_Click();
    form_->CMDS34_Click();
    QVERIFY(!child<QLabel>("LabelWait")->isVisibleTo(form_.get()));
    QCOMPARE(Declarations::ReplyMode, 2);
    QCOMPARE(peer_->receivedBytes(), QByteArray());
}

void TestTransactions::windowClosedInTheEventPassSendsNothing() {
    form_->show();
    QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    QTimer::singleShot(0, form_.get(), &QWidget::close);
    form_->Command6_Click();
    QVERIFY(!form_->isVisible());
    QVERIFY(!form_->commControl().PortOpen());
    QTest::qWait(100);
    QCOMPARE(peer_->receivedBytes(), QByteArray());
}

QTEST_MAIN(TestTransactions)
#include "tst_transactions.moc"
