#include "modulestate.h"

#include <QTest>

using namespace ModuleSim;

namespace {

const QByteArray Clock = "26/01/05 09:07:03";
const QByteArray ClockReply = "T" + Clock + "\r";
const QByteArray ScheduleReply = "SLOTS3,64\r";

// What a module with its clock held at Clock and the default schedule answers
// to bytes arriving at the given milliseconds.
QByteArray answers(const QList<std::pair<int, QByteArray>>& script) {
    const qint64 wall = *parseClock(Clock);
    ModuleState state({}, ModuleClock(wall, Nanos(0), true), {});
    QByteArray sent;
    for (const auto& [at, bytes] : script)
        sent += state.receive(bytes, std::chrono::milliseconds(at), wall).send;
    return sent;
}

// The answers to `frame` and to a read after it, each a second after its wake byte.
QByteArray command(const QByteArray& frame, const QByteArray& read = {}) {
    return answers({{0, "\x80"}, {1000, frame}, {2000, "\x80"}, {3000, read}});
}

} // namespace

// The module's own rules, without any I/O: when it listens and what it answers.
class TestModuleSim : public QObject {
    Q_OBJECT

private slots:
    void module_data() {
        QTest::addColumn<QByteArray>("answers");
        QTest::addColumn<QByteArray>("expected");
        const auto row = [](const char* name, const QByteArray& answers,
                            const QByteArray& expected) {
            QTest::newRow(name) << answers << expected;
        };
        row("no wake byte", answers({{5000, "H\r"}}), "");
        row("frame just under 0.9 s after", answers({{0, "\x80"}, {899, "H\r"}}), "");
        row("frame 0.9 s after", answers({{0, "\x80"}, {900, "H\r"}}), ClockReply);
        row("asleep again", answers({{0, "\x80"}, {1000, "H\r"}, {3000, "H\r"}}), ClockReply);
        row("a wake byte cuts a frame off",
            answers({{0, "\x80"}, {1000, "B0"}, {1100, "\x80"}, {2100, "B00\r"}}), ScheduleReply);

        row("clock set", command("h24/02/29 23:59:59\r", "H\r"), "OK\rT24/02/29 23:59:59\r");
        row("clock set, no such day", command("h25/02/29 12:00:00\r", "H\r"), "NAK\r" + ClockReply);
        row("schedule set", command("f06F0\r", "B00\r"), "OK\rSLOTS6,F0\r");
        row("schedule set, rate 7", command("f0764\r", "B00\r"), "NAK\r" + ScheduleReply);
        row("unknown command", command("B01\r"), "NAK\r");
    }
    void module() {
        QFETCH(QByteArray, answers);
        QFETCH(QByteArray, expected);
        QCOMPARE(answers, expected);
    }
};

QTEST_APPLESS_MAIN(TestModuleSim)
#include "tst_modulesim.moc"
