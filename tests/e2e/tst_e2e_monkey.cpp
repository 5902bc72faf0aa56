#include "e2efixture.h"
#include "polling.h"
#include "screenpixels.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>

#include <array>
#include <cstdlib>
#include <optional>

using E2e::portRecord;
using E2e::Wake;
using WindowLayout::Control;

// A long run of random operator input on the real window: every button,
// text typed into the clock field and the rate list, the on-time scroll bar
// clicked and dragged, entries picked from the rate list and ports from the
// port menu, between two live modules and one missing port. Afterwards the
// program must still be running and answering, every frame that reached a
// module must be well formed, and the port number file must hold the port
// picked last.
//
// The run is fixed by its seed, printed at the start; VELKARO_MONKEY_SEED
// repeats it and VELKARO_MONKEY_ACTIONS changes its length. (The order of
// the input is repeated; how it falls against the program's one-second
// pauses depends on the machine.)
class TestE2eMonkey : public E2eSuite {
    Q_OBJECT

private slots:
    void initTestCase();

    void randomOperatorKeepsTheProgramAliveAndTheFramesWellFormed();

private:
    enum class Action {
        Transaction,
        SetPc,
        TypeClock,
        ScrollArrow,
        ScrollPage,
        ScrollDrag,
        PickRate,
        TypeRate,
        PickPort,
        ClickElsewhere,
    };
    struct Kind {
        Action action;
        const char* name;
        int weight; // in percent
    };

    bool perform(Action action);
    bool clickTransaction();
    bool typeIntoClock();
    bool clickScrollArrow();
    bool clickScrollPage();
    bool dragScrollBox();
    bool pickRate();
    bool typeIntoRate();
    bool pickPort();
    bool clickElsewhere();

    bool click(QPoint at);
    bool busyLabelShows();
    QRect scrollBar() const;
    // The scroll box within the scroll bar's picture, when it can be seen.
    std::optional<QPoint> scrollBox(const QImage& bar) const;
    QString randomText(const QString& alphabet, int length);
    int between(int low, int high) { return low + int(random_.bounded(high - low + 1)); }

    QRandomGenerator random_;
    quint32 seed_ = 0;
    QString failure_;
    // A transaction click sits in the queue behind a running transaction.
    bool queuedBehind_ = false;
    int lastPicked_ = 0;
    int queuedClicks_ = 0;
    int scrollBoxMisses_ = 0;
};

namespace {

constexpr int LivePorts[] = {1, 2};
constexpr int MissingPort = 3;
constexpr int DefaultActions = 2000;
constexpr quint32 DefaultSeed = 424242;
constexpr int RateEntries = 7;
constexpr int BusyTimeoutMs = 10000;

// "H", "B00", "h" with the clock field (at most 17 characters), or "f" with
// a rate code "00" to "06" and an on-time code "01" to "F0"; then a carriage
// return. The clock field holds what was typed, printable, or what the
// decoder copied from the receive log, which may include the carriage return
// and line feed a clock set appends there.
const QRegularExpression FrameRule(QStringLiteral(
    "^(H|B00|h[\\x20-\\x7e\\r\\n]{0,17}|f0[0-6](0[1-9A-F]|[1-9A-E][0-9A-F]|F0))\\r\\z"));

struct FrameCheck {
    QString problem; // empty when all is well
    int clockTextsWithLineBreaks = 0;
};

// Checks what a module received: wake bytes, each followed by one frame that
// the rule allows, and nothing else. The module hears each frame up to its
// first carriage return, none too soon after its wake byte; the rest of a
// clock text with a carriage return in it comes without a wake byte, and is
// all it may ignore.
FrameCheck checkFrames(const Transcript& transcript) {
    FrameCheck check;
    const QByteArray received = transcript.received();
    if (!received.isEmpty() && received.front() != Wake.front()) {
        check.problem = QStringLiteral("the first byte is no wake byte");
        return check;
    }
    QList<QByteArray> heard;
    int tails = 0;
    for (const QByteArray& frame : received.split(Wake.front()).mid(1)) {
        if (!FrameRule.match(QString::fromLatin1(frame)).hasMatch()) {
            check.problem =
                QStringLiteral("malformed frame \"%1\"").arg(QString::fromLatin1(frame.toHex()));
            return check;
        }
        const qsizetype firstCr = frame.indexOf('\r');
        heard.append(frame.first(firstCr + 1));
        tails += int(frame.count('\r')) - 1;
        if (frame.front() == 'h' && (frame.chopped(1).contains('\r') || frame.contains('\n'))) {
            ++check.clockTextsWithLineBreaks;
        }
    }
    if (transcript.frames() != heard) {
        check.problem = QStringLiteral("the module heard %1 frames, not %2")
                            .arg(transcript.frames().size())
                            .arg(heard.size());
        return check;
    }
    const QList<Transcript::Entry> ignored = transcript.events(QStringLiteral("ignored"));
    for (const Transcript::Entry& entry : ignored) {
        if (!entry.fields.value(QStringLiteral("reason"))
                 .toString()
                 .startsWith(QLatin1String("no wake byte"))) {
            check.problem = QStringLiteral("the module ignored a frame: %1")
                                .arg(entry.fields.value(QStringLiteral("reason")).toString());
            return check;
        }
    }
    if (ignored.size() != tails) {
        check.problem =
            QStringLiteral("the module ignored %1 frames, not %2").arg(ignored.size()).arg(tails);
        return check;
    }
    for (double gap : transcript.wakeToFrameGaps()) {
        if (gap < 0.9) {
            check.problem = QStringLiteral("a frame came %1 s after its wake byte").arg(gap);
            return check;
        }
    }
    return check;
}

} // namespace

void TestE2eMonkey::initTestCase() {
    seed_ = E2e::seedFrom("VELKARO_MONKEY_SEED", DefaultSeed);
    E2eSuite::initTestCase();
}

bool TestE2eMonkey::click(QPoint at) {
    if (display_->clickWithoutPause(at)) {
        return true;
    }
    failure_ = display_->lastInputError();
    return false;
}

bool TestE2eMonkey::busyLabelShows() {
    const QImage label = fixture_->program().grab(Control::LabelWait);
    return ScreenPixels::count(label, ScreenPixels::isBusyRed) > label.width() * label.height() / 2;
}

QRect TestE2eMonkey::scrollBar() const {
    return fixture_->program().onScreen(Control::VScroll1);
}

QString TestE2eMonkey::randomText(const QString& alphabet, int length) {
    QString text;
    for (int i = 0; i < length; ++i) {
        text += alphabet.at(int(random_.bounded(int(alphabet.size()))));
    }
    return text;
}

bool TestE2eMonkey::perform(Action action) {
    switch (action) {
    case Action::Transaction:
        return clickTransaction();
    case Action::SetPc:
        return click(fixture_->program().onScreen(Control::CMD4).center());
    case Action::TypeClock:
        return typeIntoClock();
    case Action::ScrollArrow:
        return clickScrollArrow();
    case Action::ScrollPage:
        return clickScrollPage();
    case Action::ScrollDrag:
        return dragScrollBox();
    case Action::PickRate:
        return pickRate();
    case Action::TypeRate:
        return typeIntoRate();
    case Action::PickPort:
        return pickPort();
    case Action::ClickElsewhere:
        return clickElsewhere();
    }
    return false;
}

// Every transaction pauses a second without handling input. Mostly the next
// click waits until the running transactions are over; now and then it goes
// into the queue behind one, where the next transaction's event pass may run
// it inside that transaction. Never more than one waits, so the program does
// not fall far behind the input.
bool TestE2eMonkey::clickTransaction() {
    static constexpr std::array Buttons{Control::Command1, Control::CMD13, Control::Command6,
                                        Control::CMDS34};
    const Control button = Buttons.at(random_.bounded(int(Buttons.size())));
    bool busy = busyLabelShows();
    if (busy && (queuedBehind_ || random_.bounded(2) == 0)) {
        if (!Polling::waitUntil([this] { return !busyLabelShows(); }, BusyTimeoutMs)) {
            failure_ = QStringLiteral("the busy label stays up");
            return false;
        }
        busy = false;
        queuedBehind_ = false;
    }
    if (!click(fixture_->program().onScreen(button).center())) {
        return false;
    }
    // Two of the buttons have tooltips; one standing in the way would take
    // the next click.
    if (!display_->movePointer(scrollBar().topLeft() - QPoint(40, 0))) {
        failure_ = display_->lastInputError();
        return false;
    }
    if (busy) {
        queuedBehind_ = true;
        ++queuedClicks_;
        return true;
    }
    if (!Polling::waitUntil([this] { return busyLabelShows(); }, BusyTimeoutMs)) {
        failure_ = QStringLiteral("the transaction showed no busy label");
        return false;
    }
    return true;
}

// Half of the texts are longer than the 17 characters the field takes.
bool TestE2eMonkey::typeIntoClock() {
    const int length = random_.bounded(2) == 0 ? between(18, 24) : between(0, 17);
    const QString text = randomText(QStringLiteral("0123456789/: -.abcXYZ"), length);
    if (!click(fixture_->program().onScreen(Control::TextCMD13).center()) ||
        !display_->pressKeys(QStringLiteral("ctrl+a")) ||
        !display_->pressKeys(QStringLiteral("BackSpace"))) {
        failure_ = display_->lastInputError();
        return false;
    }
    if (!text.isEmpty() && !display_->typeText(text, 2)) {
        failure_ = display_->lastInputError();
        return false;
    }
    return true;
}

// The arrow buttons are square, at the two ends of the bar.
bool TestE2eMonkey::clickScrollArrow() {
    const QRect bar = scrollBar();
    const int half = bar.width() / 2;
    const QPoint up(bar.left() + half, bar.top() + half);
    const QPoint down(bar.left() + half, bar.bottom() - half);
    return click(random_.bounded(2) == 0 ? up : down);
}

std::optional<QPoint> TestE2eMonkey::scrollBox(const QImage& bar) const {
    // The trough is drawn in a checked pattern; the scroll box is plain.
    // The rows of one colour between the arrow buttons are the box.
    const int arrow = bar.width();
    int first = -1;
    int last = -1;
    for (int y = arrow; y < bar.height() - arrow; ++y) {
        bool plain = true;
        for (int x = 3; x < bar.width() - 3 && plain; ++x) {
            plain = bar.pixel(x, y) == bar.pixel(2, y);
        }
        if (plain) {
            first = first < 0 ? y : first;
            last = y;
        }
    }
    if (first < 0) {
        return std::nullopt;
    }
    return QPoint(bar.width() / 2, (first + last) / 2);
}

// A click into the trough above or below the scroll box moves a page.
bool TestE2eMonkey::clickScrollPage() {
    const QRect bar = scrollBar();
    const int arrow = bar.width();
    const std::optional<QPoint> box = scrollBox(display_->grab(bar));
    if (!box) {
        ++scrollBoxMisses_;
    }
    const int boxY = box ? box->y() : bar.height() / 2;
    const int low = arrow + 1;
    const int high = bar.height() - arrow - 2;
    QList<int> rows;
    for (int y = low; y <= high; ++y) {
        if (std::abs(y - boxY) > 4) {
            rows.append(y);
        }
    }
    const int y = rows.isEmpty() ? boxY : rows.at(int(random_.bounded(int(rows.size()))));
    return click(bar.topLeft() + QPoint(bar.width() / 2, y));
}

// The box is dragged anywhere along the bar, now and then past its ends.
bool TestE2eMonkey::dragScrollBox() {
    const QRect bar = scrollBar();
    const std::optional<QPoint> box = scrollBox(display_->grab(bar));
    if (!box) {
        ++scrollBoxMisses_;
    }
    const QPoint from = bar.topLeft() + box.value_or(QPoint(bar.width() / 2, bar.height() / 2));
    const QPoint to(from.x() + between(-10, 10), bar.top() + between(-20, bar.height() + 20));
    if (!display_->drag(from, to)) {
        failure_ = display_->lastInputError();
        return false;
    }
    return true;
}

// Opens the rate list with its arrow and clicks one of the seven entries.
bool TestE2eMonkey::pickRate() {
    const ProgramRun& program = fixture_->program();
    const QRect combo = program.onScreen(Control::Combo1);
    if (!click(QPoint(combo.right() - combo.height() / 2, combo.center().y()))) {
        return false;
    }
    std::optional<XDisplay::Window> list;
    const auto findList = [&] {
        for (const XDisplay::Window& window : display_->viewableWindows()) {
            if (window.pid == program.pid() && window.overrideRedirect &&
                std::abs(window.geometry.left() - combo.left()) <= 4 &&
                std::abs(window.geometry.top() - combo.bottom()) <= 6 &&
                window.geometry.height() > combo.height()) {
                list = window;
                return true;
            }
        }
        list.reset();
        return false;
    };
    if (!Polling::waitUntil(findList, Polling::ScreenTimeoutMs)) {
        failure_ = QStringLiteral("the rate list did not drop down");
        return false;
    }
    // The entries share the list's height, inside a frame of a pixel or two.
    const QRect inside = list->geometry.adjusted(2, 2, -2, -2);
    const int entry = int(random_.bounded(RateEntries));
    const int y = inside.top() + (2 * entry + 1) * inside.height() / (2 * RateEntries);
    if (!click(QPoint(inside.center().x(), y))) {
        return false;
    }
    if (!Polling::waitUntil([&] { return !findList(); }, Polling::ScreenTimeoutMs)) {
        failure_ = QStringLiteral("the rate list stayed open");
        return false;
    }
    return true;
}

// Into the text part of the rate list: an entry's text, part of one, or
// anything; sometimes with Return.
bool TestE2eMonkey::typeIntoRate() {
    static const QStringList Entries{QStringLiteral("30  Minutes"), QStringLiteral("1   Hour"),
                                     QStringLiteral("2   Hours"),   QStringLiteral("4   Hours"),
                                     QStringLiteral("6   Hours"),   QStringLiteral("12  Hours"),
                                     QStringLiteral("24  Hours")};
    QString text;
    switch (random_.bounded(3)) {
    case 0:
        text = Entries.at(int(random_.bounded(int(Entries.size()))));
        break;
    case 1:
        text = Entries.at(int(random_.bounded(int(Entries.size())))).left(between(1, 4));
        break;
    default:
        text = randomText(QStringLiteral("0123456789 HoursMinute-x"), between(0, 20));
        break;
    }
    const QRect combo = fixture_->program().onScreen(Control::Combo1);
    if (!click(QPoint(combo.left() + combo.width() / 3, combo.center().y())) ||
        !display_->pressKeys(QStringLiteral("ctrl+a")) ||
        (!text.isEmpty() && !display_->typeText(text, 2)) ||
        (random_.bounded(2) == 0 && !display_->pressKeys(QStringLiteral("Return")))) {
        failure_ = display_->lastInputError();
        return false;
    }
    return true;
}

bool TestE2eMonkey::pickPort() {
    static constexpr std::array Ports{LivePorts[0], LivePorts[1], MissingPort};
    const int port = Ports.at(random_.bounded(int(Ports.size())));
    ProgramRun& program = fixture_->program();
    if (!program.pickPort(port)) {
        failure_ = program.error();
        return false;
    }
    lastPicked_ = port;
    return true;
}

// Places that take no input: the status labels, the read-only on-time
// field, the busy label's place, the captions and the empty client area.
bool TestE2eMonkey::clickElsewhere() {
    const ProgramRun& program = fixture_->program();
    const QPoint client = program.window().geometry.topLeft() + QPoint(0, program.menuBarHeight());
    const std::array places{
        program.onScreen(Control::Label3_0).center(),
        program.onScreen(Control::Label3_1).center(),
        program.onScreen(Control::Text3).center(),
        program.onScreen(Control::LabelWait).center(),
        client + QPoint(WindowLayout::ClientWidth - 3, WindowLayout::ClientHeight - 3),
        client + QPoint(20, 5),
        client + QPoint(60, 160), // "Rate"
        client + QPoint(20, 60),  // inside the " Time " group
    };
    return click(places.at(random_.bounded(int(places.size()))));
}

void TestE2eMonkey::randomOperatorKeepsTheProgramAliveAndTheFramesWellFormed() {
    static constexpr std::array<Kind, 10> Mix{{
        {Action::Transaction, "transaction button", 9},
        {Action::SetPc, "\"Set PC\"", 7},
        {Action::TypeClock, "typing into the clock field", 10},
        {Action::ScrollArrow, "scroll arrow", 20},
        {Action::ScrollPage, "scroll page click", 14},
        {Action::ScrollDrag, "scroll box drag", 9},
        {Action::PickRate, "rate list pick", 8},
        {Action::TypeRate, "typing into the rate list", 9},
        {Action::PickPort, "port menu pick", 4},
        {Action::ClickElsewhere, "click on a passive place", 10},
    }};
    static_assert(
        [] {
            int sum = 0;
            for (const Kind& kind : Mix) {
                sum += kind.weight;
            }
            return sum;
        }() == 100,
        "the weights are percentages");
    bool countGiven = false;
    const int fromEnvironment = qEnvironmentVariable("VELKARO_MONKEY_ACTIONS").toInt(&countGiven);
    const int actions = countGiven && fromEnvironment > 0 ? fromEnvironment : DefaultActions;
    random_.seed(seed_);

    std::array<SimulatedModule*, 2> modules{};
    for (int i = 0; i < 2; ++i) {
        modules.at(i) = fixture_->startModule(
            LivePorts[i], {QStringLiteral("--rate"), QString::number(2 + 3 * i),
                           QStringLiteral("--on-time"), QString::number(7 + 100 * i)});
        QVERIFY(modules.at(i));
    }
    QVERIFY(fixture_->writePortFile(portRecord(LivePorts[0])));
    lastPicked_ = LivePorts[0];
    ProgramRun* program = fixture_->startProgramOn(*modules.at(0));
    QVERIFY(program);

    const qint64 residentBefore = program->residentKiB();
    std::array<int, Mix.size()> done{};
    QStringList recent;
    QElapsedTimer elapsed;
    elapsed.start();
    for (int n = 0; n < actions; ++n) {
        int roll = int(random_.bounded(100));
        std::size_t kind = 0;
        while (roll >= Mix.at(kind).weight) {
            roll -= Mix.at(kind).weight;
            ++kind;
        }
        recent.append(QString::fromLatin1(Mix.at(kind).name));
        if (recent.size() > 8) {
            recent.removeFirst();
        }
        failure_.clear();
        QVERIFY2(perform(Mix.at(kind).action),
                 qPrintable(QStringLiteral("action %1 (%2) failed: %3; the last actions: %4")
                                .arg(n)
                                .arg(QString::fromLatin1(Mix.at(kind).name), failure_,
                                     recent.join(QStringLiteral(", ")))));
        ++done.at(kind);
        QVERIFY2(program->isRunning(),
                 qPrintable(QStringLiteral("the program ended after action %1; the last "
                                           "actions: %2")
                                .arg(n)
                                .arg(recent.join(QStringLiteral(", ")))));
        if ((n + 1) % 250 == 0) {
            qInfo("%d actions in %.0f s", n + 1, double(elapsed.elapsed()) / 1000.0);
        }
    }
    QVERIFY2(Polling::waitUntil([this] { return !busyLabelShows(); }, BusyTimeoutMs),
             "the busy label stays up");
    const double seconds = double(elapsed.elapsed()) / 1000.0;
    for (std::size_t kind = 0; kind < Mix.size(); ++kind) {
        qInfo("%5d  %s", done.at(kind), Mix.at(kind).name);
    }
    qInfo("%d actions in %.0f s; %d transaction clicks went into the queue behind a running "
          "transaction; the scroll box was not found %d times; VmRSS %lld KiB before, %lld KiB "
          "after",
          actions, seconds, queuedClicks_, scrollBoxMisses_, qlonglong(residentBefore),
          qlonglong(program->residentKiB()));

    QVERIFY2(Polling::waitUntil([&] { return fixture_->portFile() == portRecord(lastPicked_); },
                                Polling::ExchangeTimeoutMs),
             qPrintable(QStringLiteral("the port number file holds \"%1\", not port %2")
                            .arg(QString::fromLatin1(fixture_->portFile()))
                            .arg(lastPicked_)));

    // One last transaction on a live module: its clock comes back with
    // "Set into" as the window decoded it.
    SimulatedModule& last = *modules.at(0);
    QVERIFY(fixture_->switchPort(LivePorts[0], last));
    QVERIFY2(program->emptyClockField(), qPrintable(program->error()));
    const int frames = last.transcript().count(QStringLiteral("frame"));
    QVERIFY(fixture_->clickForFrame(Control::Command1, last, frames + 1));
    QByteArray answer;
    QVERIFY(Polling::waitUntil(
        [&] {
            answer = last.transcript().answerTo(frames);
            return answer.endsWith('\r');
        },
        Polling::ExchangeTimeoutMs));
    QVERIFY2(fixture_->waitForText(Control::TextCMD13), "the last clock reply was not decoded");
    QVERIFY(fixture_->clickForFrame(Control::CMD13, last, frames + 2));
    QCOMPARE(last.transcript().frames().constLast(), "h" + E2e::clockFieldFrom(answer) + "\r");
    QVERIFY(program->isRunning());
    QCOMPARE(fixture_->portFile(), portRecord(LivePorts[0]));

    for (int i = 0; i < 2; ++i) {
        const Transcript transcript = modules.at(i)->transcript();
        const FrameCheck check = checkFrames(transcript);
        qInfo("COM%d heard %lld frames; %d clock texts carried a line break from the receive log",
              LivePorts[i], qlonglong(transcript.frames().size()), check.clockTextsWithLineBreaks);
        if (!check.problem.isEmpty()) {
            qWarning("%s", qPrintable(modules.at(i)->transcriptText()));
        }
        QVERIFY2(check.problem.isEmpty(),
                 qPrintable(QStringLiteral("COM%1: %2").arg(LivePorts[i]).arg(check.problem)));
    }
}

QTEST_GUILESS_MAIN(TestE2eMonkey)
#include "tst_e2e_monkey.moc"
