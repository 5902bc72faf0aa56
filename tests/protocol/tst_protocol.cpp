#include "protocol/frames.h"
#include "protocol/receivelog.h"
#include "protocol/replies.h"

#include <QTest>

class TestProtocol : public QObject {
    Q_OBJECT

private slots:
    void frames_data();
    void frames();
    void codes_data();
    void codes();
    void clockReply_data();
    void clockReply();
    void scheduleReply_data();
    void scheduleReply();
    void receiveLogKeepsItsFirst64KiB();
};

void TestProtocol::frames_data() {
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("wake") << Frames::wake() << QByteArray::fromHex("80");
    QTest::newRow("clock read") << Frames::clockRead() << QByteArray::fromHex("480d");
    QTest::newRow("schedule read") << Frames::scheduleRead() << QByteArray::fromHex("4230300d");
    QTest::newRow("clock set") << Frames::clockSet("26/01/05 09:07:03")
                               << QByteArray("h26/01/05 09:07:03\r");
    QTest::newRow("clock set, empty text") << Frames::clockSet("") << QByteArray::fromHex("680d");
    QTest::newRow("clock set, text as typed") << Frames::clockSet(" x/") << QByteArray("h x/\r");
    QTest::newRow("schedule set, rate 1, 100 s")
        << Frames::scheduleSet(Frames::rateCode(1), Frames::onTimeCode(100))
        << QByteArray::fromHex("66303136340d");
}

void TestProtocol::frames() {
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, bytes);
    QCOMPARE(frame.toHex(' '), bytes.toHex(' '));
}

void TestProtocol::codes_data() {
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("rate none") << Frames::rateCode(-1) << QByteArray("00");
    QTest::newRow("rate 0") << Frames::rateCode(0) << QByteArray("00");
    QTest::newRow("rate 6") << Frames::rateCode(6) << QByteArray("06");
    QTest::newRow("on-time 1") << Frames::onTimeCode(1) << QByteArray("01");
    QTest::newRow("on-time 10") << Frames::onTimeCode(10) << QByteArray("0A");
    QTest::newRow("on-time 100") << Frames::onTimeCode(100) << QByteArray("64");
    QTest::newRow("on-time 240") << Frames::onTimeCode(240) << QByteArray("F0");
}

void TestProtocol::codes() {
    QFETCH(QByteArray, code);
    QFETCH(QByteArray, expected);
    QCOMPARE(code, expected);
}

void TestProtocol::clockReply_data() {
    QTest::addColumn<QByteArray>("log");
    QTest::addColumn<QByteArray>("clock");
    QTest::newRow("complete") << QByteArray("T26/01/05 09:07:03\r\n")
                              << QByteArray("26/01/05 09:07:03");
    QTest::newRow("odd separators")
        << QByteArray("#26-01-05T09.07.03\r\n") << QByteArray("26/01/05 09:07:03");
    QTest::newRow("field characters copied unchecked")
        << QByteArray("xab?cd?ef?gh?ij?kl\r\n") << QByteArray("ab/cd/ef gh:ij:kl");
    QTest::newRow("short log") << QByteArray("T26/0\r\n") << QByteArray("26/0\r/ ::");
    QTest::newRow("empty log") << QByteArray() << QByteArray("// ::");
}

void TestProtocol::clockReply() {
    QFETCH(QByteArray, log);
    QFETCH(QByteArray, clock);
    QCOMPARE(Replies::clockText(log), clock);
}

void TestProtocol::scheduleReply_data() {
    QTest::addColumn<QByteArray>("log");
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("onTime"); // 0: out of range, "---"
    QTest::newRow("4 hours, 240 s") << QByteArray("SLOTS3,F0\r\n") << 3 << 240;
    QTest::newRow("01 gives 1") << QByteArray("SLOTS0,01\r\n") << 0 << 1;
    QTest::newRow("0A gives 10") << QByteArray("SLOTS6,0A\r\n") << 6 << 10;
    QTest::newRow("00 out of range") << QByteArray("SLOTS1,00\r\n") << 1 << 0;
    QTest::newRow("F1 out of range") << QByteArray("SLOTS1,F1\r\n") << 1 << 0;
    QTest::newRow("lower-case a gives 42") << QByteArray("SLOTS1,0a\r\n") << 1 << 42;
    QTest::newRow("colon counts as 10") << QByteArray("SLOTS1,0:\r\n") << 1 << 10;
    QTest::newRow("blank rate gives 0") << QByteArray("SLOTS ,10\r\n") << 0 << 16;
    QTest::newRow("letter rate gives 0") << QByteArray("SLOTSx,10\r\n") << 0 << 16;
    QTest::newRow("rate 9 passes through") << QByteArray("SLOTS9,10\r\n") << 9 << 16;
    QTest::newRow("high bytes out of range") << QByteArray("SLOTS2,\xff\xff\r\n") << 2 << 0;
    QTest::newRow("log ends before 9") << QByteArray("SLOT\r\n") << 0 << 0;
    QTest::newRow("log of 8") << QByteArray("SLOTS4,\r\n") << 4 << 0;
    QTest::newRow("empty log") << QByteArray() << 0 << 0;
}

void TestProtocol::scheduleReply() {
    QFETCH(QByteArray, log);
    QFETCH(int, rate);
    QFETCH(int, onTime);
    const Replies::Schedule schedule = Replies::schedule(log);
    QCOMPARE(schedule.rateDigit, rate);
    QCOMPARE(schedule.onTime.value_or(0), onTime);
}

void TestProtocol::receiveLogKeepsItsFirst64KiB() {
    ReceiveLog log;
    QCOMPARE(log.append("ab"), QByteArray("ab"));
    log.append(QByteArray(ReceiveLog::Capacity - 3, 'x'));
    QCOMPARE(log.append("yz"), QByteArray("y"));
    QCOMPARE(log.append("\r\n"), QByteArray());
    QCOMPARE(log.bytes().size(), ReceiveLog::Capacity);
    QVERIFY(log.bytes().startsWith("abx"));
    QVERIFY(log.bytes().endsWith("xy"));
    log.clear();
    QCOMPARE(log.append("T"), QByteArray("T"));
}

QTEST_APPLESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
