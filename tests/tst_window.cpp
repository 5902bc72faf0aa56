#include "app/formcommunication.h"
#include "support/ptypeer.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

namespace {

// How long a check waits for what should take a moment. The checks wait for
// as many bytes as expected and then compare, so wrong bytes fail at once
// (QTRY_COMPARE would wait three times its timeout before it reports).
constexpr int Patience = 3000;

// Handles events until `done` holds or Patience has passed; the comparison
// that follows reports what is there.
template <typename Done> void soon(Done done) {
    static_cast<void>(QTest::qWaitFor(done, Patience));
}

struct Transaction {
    const char* button;
    int rate; // the rate entry and the on-time before the click
    int onTime;
    QByteArray frame; // after the wake byte
    QByteArray reply;
    QString after; // the clock field, rate entry, on-time field and scroll bar
};

} // namespace

Q_DECLARE_METATYPE(Transaction)

// The window in process, on a pseudo-terminal linked as COM1 of a temporary
// program folder.
class TestWindow : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<PtyPeer> peer_;
    std::unique_ptr<FormCommunication> form_;

    template <typename T> T* child(const char* name) const { return form_->findChild<T*>(name); }
    bool busy() const { return child<QLabel>("LabelWait")->isVisibleTo(form_.get()); }

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        peer_ = std::make_unique<PtyPeer>();
        QVERIFY(peer_->linkAs(dir_->path(), 1));
        form_ = std::make_unique<FormCommunication>(dir_->path());
        form_->Form_Load();
    }

    void transactions_data() {
        QTest::addColumn<Transaction>("transaction");
        const QByteArray garbage("\0\xff\x80zz\xfe,\xff\xff\r", 10);
        const auto row = [](const char* name, const Transaction& transaction) {
            QTest::newRow(name) << transaction;
        };
        row("clock read",
            {"Command1", 1, 100, "H\r", "T27-02-06T10.08.04\r", "27/02/06 10:08:04|1| 100|100"});
        row("clock set", {"CMD13", 1, 100, "h1/2/3\r", "", "1/2/3|1| 100|100"});
        row("schedule read", {"Command6", 1, 100, "B00\r", "SLOTS3,F0\r", "1/2/3|3| 240|240"});
        row("schedule read, rate 7",
            {"Command6", 1, 100, "B00\r", "SLOTS7,0A\r", "1/2/3|1| 10|10"});
        row("schedule read, garbage", {"Command6", 1, 100, "B00\r", garbage, "1/2/3|0|---|100"});
        row("schedule set", {"CMDS34", 1, 100, "f0164\r", "", "1/2/3|1| 100|100"});
        row("schedule set, no rate, 240 s", {"CMDS34", -1, 240, "f00F0\r", "", "1/2/3|0|240|240"});
        row("schedule set, on-time below 1", {"CMDS34", 1, 0, "f0101\r", "", "1/2/3|1| 1|1"});
    }
    void transactions() {
        QFETCH(Transaction, transaction);
        child<QLineEdit>("TextCMD13")->setText("1/2/3");
        child<QComboBox>("Combo1")->setCurrentIndex(transaction.rate);
        child<QScrollBar>("VScroll1")->setValue(transaction.onTime);
        QVERIFY(peer_->send("noise\r")); // an earlier reply, which a read clears
        soon([&] { return form_->receiveLog().size() >= 7; });
        QCOMPARE(form_->receiveLog(), "noise\r\n");
        bool busyInEventPass = false;
        QObject pass; // takes the timer along should the event pass not come
        QTimer::singleShot(0, &pass, [&] { busyInEventPass = busy(); });
        child<QToolButton>(transaction.button)->click();
        QVERIFY(busyInEventPass);
        QVERIFY(!busy());

        // The wake byte alone, then the frame no sooner than a second later;
        // the far end stamps what it reads up to a few milliseconds late.
        const QByteArray sent = "\x80" + transaction.frame;
        QVERIFY(peer_->waitForBytes(sent.size(), Patience));
        QCOMPARE(peer_->receivedBytes(), sent);
        const std::vector<PtyPeer::Received> chunks = peer_->received();
        QCOMPARE(chunks.front().bytes, "\x80");
        QVERIFY(chunks.at(1).at - chunks.front().at >= std::chrono::milliseconds(980));
        if (!transaction.reply.isEmpty()) {
            QVERIFY(peer_->send(transaction.reply));
            soon([&] { return form_->receiveLog().size() > transaction.reply.size(); });
            QCOMPARE(form_->receiveLog(), transaction.reply + '\n');
        }
        const QStringList after{child<QLineEdit>("TextCMD13")->text(),
                                QString::number(child<QComboBox>("Combo1")->currentIndex()),
                                child<QLineEdit>("Text3")->text(),
                                QString::number(child<QScrollBar>("VScroll1")->value())};
        QCOMPARE(after.join('|'), transaction.after);
    }

    void setPcTakesOneReadingOfTheClock() {
        // A click at midnight: a second reading would already be the next day.
        const QDateTime readings[] = {QDateTime(QDate(2026, 3, 9), QTime(23, 59, 59, 999)),
                                      QDateTime(QDate(2026, 3, 10), QTime(0, 0))};
        int taken = 0;
        form_->setClock([&] { return readings[std::min(taken++, 1)]; });
        child<QToolButton>("CMD4")->click();
        QCOMPARE(child<QLineEdit>("TextCMD13")->text(), "26/03/09 23:59:59");
    }

    // Typed text selects the entry it equals, or none: "Set into" then sends
    // "00" rather than an entry the box no longer shows.
    void typedRateSelectsOnlyAnEqualEntry_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("entry");
        QTest::newRow("other text") << "xyz" << -1;
        QTest::newRow("an entry") << "2   Hours" << 2;
        QTest::newRow("an entry's start") << "2" << -1;
        QTest::newRow("another case") << "2   HOURS" << -1;
    }
    void typedRateSelectsOnlyAnEqualEntry() {
        QFETCH(QString, typed);
        QFETCH(int, entry);
        auto* rate = child<QComboBox>("Combo1");
        rate->setCurrentIndex(3);
        rate->lineEdit()->selectAll();
        QTest::keyClicks(rate->lineEdit(), typed);
        QCOMPARE(rate->currentIndex(), entry);
        QCOMPARE(rate->currentText(), typed);
    }

    // The clock text goes out one byte per character.
    void clockFieldTakesOneByteCharacters_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("pasted");
        QTest::addColumn<QString>("shown");
        QTest::newRow("Latin-1") << "26/01/05" << QString::fromUtf8(" \xc3\xa9t\xc3\xa9")
                                 << QString::fromUtf8("26/01/05 \xc3\xa9t\xc3\xa9");
        QTest::newRow("beyond Latin-1") << QString::fromUtf8("\xe2\x82\xac \xd0\x96") << ""
                                        << " ";
        QTest::newRow("beyond the basic plane") << "26/01/05"
                                                << QString::fromUtf8(" \xf0\x9f\x98\x80"
                                                                     "09:07")
                                                << "26/01/05 09:07";
    }
    void clockFieldTakesOneByteCharacters() {
        QFETCH(QString, typed);
        QFETCH(QString, pasted);
        QFETCH(QString, shown);
        auto* clock = child<QLineEdit>("TextCMD13");
        clock->clear();
        for (const char32_t c : typed.toUcs4()) { // as a keyboard's input method delivers it
            QKeyEvent key(QEvent::KeyPress, 0, Qt::NoModifier, QString::fromUcs4(&c, 1));
            QCoreApplication::sendEvent(clock, &key);
        }
        clock->insert(pasted);
        QCOMPARE(clock->text(), shown);
    }

    // The adapter pulled and plugged in again: "Not valid" with the reason at
    // once, still looked for while its device is missing, then "Com 1" again
    // by itself, and a command reaches the new device.
    void lostPortComesBack() {
        auto* port = child<QLabel>("Label3(0)");
        QHelpEvent hover(QEvent::ToolTip, QPoint(1, 1), port->mapToGlobal(QPoint(1, 1)));
        QCoreApplication::sendEvent(port, &hover);
        QCOMPARE(port->toolTip(), "COM1 is " + peer_->slavePath());
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^COM1: disconnected"));
        peer_->hangUp();
        soon([&] { return port->text() == "Not valid"; });
        QCOMPARE(port->text(), "Not valid");
        QVERIFY2(port->toolTip().startsWith("COM1: disconnected"), qPrintable(port->toolTip()));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^COM1: no such device"));
        soon([&] { return port->toolTip().startsWith("COM1: no such device"); });
        PtyPeer back;
        QVERIFY(back.linkAs(dir_->path(), 1));
        soon([&] { return port->text() == "Com 1"; });
        QCOMPARE(port->text(), "Com 1");
        child<QToolButton>("Command1")->click();
        QVERIFY(back.waitForBytes(3, Patience));
        QCOMPARE(back.receivedBytes(), "\x80H\r");
    }

    // The log keeps the first 64 KiB of a babbling line and drops the rest.
    void floodKeepsTheLogBounded() {
        QByteArray flood;
        for (int i = 0; flood.size() < 80 * 1024; ++i)
            flood += static_cast<char>('a' + i % 23);
        std::atomic<bool> sent = false;
        std::thread sender([&] { sent = peer_->send(flood); });
        // The poller, ticked as fast as it goes, until the far end has
        // written everything and the window has taken it in.
        const QDeadlineTimer deadline(Patience);
        while (!sent && !deadline.hasExpired())
            form_->Timer1_Timer();
        sender.join();
        while (form_->commControl().InBufferCount() > 0 && !deadline.hasExpired())
            form_->Timer1_Timer();
        QCOMPARE(form_->receiveLog(), flood.left(65536));
        QCOMPARE(child<QPlainTextEdit>("Text2")->toPlainText().toLatin1(), form_->receiveLog());
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
