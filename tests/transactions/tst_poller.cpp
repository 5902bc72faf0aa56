#include "app/formcommunication.h"
#include "config/declarations.h"
#include "protocol/receivelog.h"
#include "support/recordingcontrol.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>

// The receive poller, fed from a stand-in control so that each tick sees
// exactly the characters the test puts in front of it.
class TestPoller : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void emptyBufferChangesNothing();
    void oneTickTakesWhatIsWaiting();
    void carriageReturnGetsItsLineFeed();
    void clockReply();
    void scheduleReply_data();
    void scheduleReply();
    void everyCarriageReturnDecodesFromTheStart();
    void floodKeepsTheLogBoundedAndStillDecodes();
    void closedPortTicksQuietly();

private:
    template <typename T> T* child(const char* name) const {
        return form_->findChild<T*>(QString::fromLatin1(name));
    }
    void receive(const QByteArray& bytes) {
        comm_->incoming += bytes;
        form_->Timer1_Timer();
    }

    RecordingControl* comm_ = nullptr;
    std::unique_ptr<FormCommunication> form_;
};

void TestPoller::init() {
    Declarations::reset();
    auto comm = std::make_unique<RecordingControl>();
    comm_ = comm.get();
    comm_->setPortOpen(true);
    form_ = std::make_unique<FormCommunication>(std::move(comm));
}

void TestPoller::cleanup() {
    form_.reset();
}

void TestPoller::emptyBufferChangesNothing() {
    form_->Timer1_Timer();
    QCOMPARE(form_->receiveLog(), QByteArray());
    QCOMPARE(comm_->calls, QStringList{"PortOpen=true"});
}

void TestPoller::oneTickTakesWhatIsWaiting() {
    receive("abcde");
    QCOMPARE(form_->receiveLog(), QByteArray("abcde"));
    QCOMPARE(comm_->incoming, QByteArray());
    receive("f");
    QCOMPARE(form_->receiveLog(), QByteArray("abcdef"));
    QCOMPARE(child<QPlainTextEdit>("Text2")->toPlainText(), QStringLiteral("abcdef"));
}

void TestPoller::carriageReturnGetsItsLineFeed() {
    // Nothing is decoded before the first read command.
    child<QLineEdit>("TextCMD13")->setText(QStringLiteral("typed"));
    receive("T26/01/05 09:07:03\r\n");
    QCOMPARE(form_->receiveLog(), QByteArray("T26/01/05 09:07:03\r\n\n"));
    QCOMPARE(child<QLineEdit>("TextCMD13")->text(), QStringLiteral("typed"));
    QCOMPARE(child<QLineEdit>("Text3")->text(), QString());
}

void TestPoller::clockReply() {
    Declarations::ReplyMode = 1;
    receive("T26-01-05T09.07");
    QCOMPARE(child<QLineEdit>("TextCMD13")->text(), QString());
    receive(".03\r");
    QCOMPARE(child<QLineEdit>("TextCMD13")->text(), QStringLiteral("26/01/05 09:07:03"));
}

void TestPoller::scheduleReply_data() {
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("rate");
    QTest::addColumn<QString>("onTimeText");
    QTest::addColumn<int>("onTime");
    // The window starts with entry 2 selected and the bar at 77.
    QTest::newRow("4 hours, F0") << QByteArray("SLOTS3,F0\r") << 3 << " 240" << 240;
    QTest::newRow("01") << QByteArray("SLOTS6,01\r") << 6 << " 1" << 1;
    QTest::newRow("0A") << QByteArray("SLOTS0,0A\r") << 0 << " 10" << 10;
    QTest::newRow("00") << QByteArray("SLOTS1,00\r") << 1 << "---" << 77;
    QTest::newRow("F1") << QByteArray("SLOTS1,F1\r") << 1 << "---" << 77;
    QTest::newRow("0a") << QByteArray("SLOTS1,0a\r") << 1 << " 42" << 42;
    QTest::newRow("blank rate") << QByteArray("SLOTS ,10\r") << 0 << " 16" << 16;
    QTest::newRow("rate 7 names no entry") << QByteArray("SLOTS7,10\r") << 2 << " 16" << 16;
    QTest::newRow("short reply") << QByteArray("SLOTS4\r") << 4 << "---" << 77;
    QTest::newRow("bare CR") << QByteArray("\r") << 0 << "---" << 77;
}

void TestPoller::scheduleReply() {
    QFETCH(QByteArray, reply);
    QFETCH(int, rate);
    QFETCH(QString, onTimeText);
    QFETCH(int, onTime);
    child<QComboBox>("Combo1")->setCurrentIndex(2);
    child<QScrollBar>("VScroll1")->setValue(77);
    Declarations::ReplyMode = 2;
    receive(reply);
    QCOMPARE(child<QComboBox>("Combo1")->currentIndex(), rate);
    QCOMPARE(child<QLineEdit>("Text3")->text(), onTimeText);
    QCOMPARE(child<QScrollBar>("VScroll1")->value(), onTime);
}

void TestPoller::everyCarriageReturnDecodesFromTheStart() {
    Declarations::ReplyMode = 1;
    receive("T26/01/05 09:07:03\r");
    auto* clock = child<QLineEdit>("TextCMD13");
    clock->setText(QStringLiteral("99/99/99 99:99:99"));
    receive("OK\r");
    QCOMPARE(clock->text(), QStringLiteral("26/01/05 09:07:03"));
    QCOMPARE(form_->receiveLog(), QByteArray("T26/01/05 09:07:03\r\nOK\r\n"));
}

void TestPoller::floodKeepsTheLogBoundedAndStillDecodes() {
    Declarations::ReplyMode = 2;
    receive("SLOTS5,2A");
    for (int i = 0; i < 80; ++i) {
        receive(QByteArray(1024, 'z'));
    }
    QCOMPARE(form_->receiveLog().size(), ReceiveLog::Capacity);
    QCOMPARE(child<QLineEdit>("Text3")->text(), QString());
    receive("\r");
    QCOMPARE(child<QLineEdit>("Text3")->text(), QStringLiteral(" 42"));
    QCOMPARE(child<QComboBox>("Combo1")->currentIndex(), 5);
    QCOMPARE(child<QPlainTextEdit>("Text2")->toPlainText().size(), ReceiveLog::Capacity);
}

void TestPoller::closedPortTicksQuietly() {
    comm_->setPortOpen(false);
    comm_->incoming = "ignored";
    form_->Timer1_Timer();
    QCOMPARE(form_->receiveLog(), QByteArray());
}

QTEST_MAIN(TestPoller)
#include "tst_poller.moc"
