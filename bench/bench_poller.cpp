// Measures the receive poller, FormCommunication::Timer1_Timer(), on a real
// window (offscreen platform): the time of one tick with nothing waiting and
// with 1024 characters waiting, the receive log empty or at its bound, in each
// reply kind; and a one-hour flood at line rate with the resident memory
// along the way.
//
// Two serial lines feed the window: a stand-in control that serves bytes from
// memory (the poller and the widgets alone), and the real serial control on a
// pseudo-terminal (the operating system's part included).
//
// Usage: bench_poller [--quick]. Prints Markdown tables on standard output;
// exits non-zero only when the measurement itself went wrong (bytes not
// delivered or not consumed).

#include "app/formcommunication.h"
#include "config/portfile.h"
#include "protocol/commcontrol.h"
#include "protocol/receivelog.h"
#include "support/ptypeer.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

const char* kindName(ReplyKind kind) {
    switch (kind) {
    case ReplyKind::None:
        return "None";
    case ReplyKind::Clock:
        return "Clock";
    case ReplyKind::Schedule:
        return "Schedule";
    }
    return "";
}

// What the module sends while the window decodes replies of a kind: those
// replies, or random bytes when nothing is decoded.
QByteArray pattern(ReplyKind kind) {
    switch (kind) {
    case ReplyKind::Clock:
        return QByteArrayLiteral("T26/01/05 09:07:03\r");
    case ReplyKind::Schedule:
        return QByteArrayLiteral("SLOTS3,F0\r");
    case ReplyKind::None:
        break;
    }
    // A prime length, so that tick boundaries wander through the block.
    QByteArray bytes(65521, '\0');
    std::mt19937 random(20260105);
    std::uniform_int_distribution<int> byte(0, 255);
    for (char& c : bytes) {
        c = static_cast<char>(byte(random));
    }
    return bytes;
}

// One pattern, over and over, handed out in pieces of any length.
class Feed {
public:
    explicit Feed(ReplyKind kind) : pattern_(pattern(kind)) {}

    QByteArray take(qsizetype n) {
        QByteArray out;
        while (out.size() < n) {
            const qsizetype chunk = std::min(n - out.size(), pattern_.size() - at_);
            out.append(pattern_.constData() + at_, chunk);
            at_ = (at_ + chunk) % pattern_.size();
        }
        return out;
    }

private:
    QByteArray pattern_;
    qsizetype at_ = 0;
};

// The serial control of a window, serving bytes from memory. It caps the count
// of waiting characters at 1024 like the real control's receive buffer.
class MemoryControl : public CommControl {
public:
    void setCommPort(int) override {}
    void setSettings(const QString&) override {}
    void setInputLen(int) override {}
    bool PortOpen() const override { return open_; }
    void setPortOpen(bool open) override { open_ = open; }

    int InBufferCount() override { return static_cast<int>(std::min<qsizetype>(waiting(), 1024)); }
    QByteArray Input() override {
        return waiting() == 0 ? QByteArray() : QByteArray(1, pending_.at(read_++));
    }
    void Output(const QByteArray&) override {}
    QString deviceDescription() const override { return {}; }
    void setLostHandler(LostHandler) override {}

    void queue(const QByteArray& bytes) {
        if (waiting() == 0) {
            pending_.clear();
            read_ = 0;
        }
        pending_ += bytes;
    }
    qsizetype waiting() const { return pending_.size() - read_; }

private:
    bool open_ = false;
    QByteArray pending_;
    qsizetype read_ = 0;
};

// Where a window's serial control gets its bytes from. Both lines use one
// program folder, whose COM1 is a pseudo-terminal.
class Line {
public:
    explicit Line(const QString& folder) : folder_(folder) {}
    virtual ~Line() = default;
    virtual const char* name() const = 0;

    // A new window, loaded and shown as at program start, decoding replies
    // of the given kind. The operator gets there with a read command, which
    // also empties the log; the bench sets the kind directly, sparing the
    // command's one-second pause.
    std::unique_ptr<FormCommunication> openWindow(ReplyKind kind) {
        std::unique_ptr<FormCommunication> form = makeWindow();
        // The benchmark drives the ticks itself.
        form->findChild<QTimer*>(QStringLiteral("Timer1"))->stop();
        form->Form_Load();
        if (!form->commControl().PortOpen()) {
            throw std::runtime_error(std::string(name()) + ": the port did not open");
        }
        form->declarations().ReplyMode = kind;
        form->show();
        QCoreApplication::processEvents();
        return form;
    }
    // Makes the bytes wait in the receive buffer of the last window opened.
    virtual void deliver(const QByteArray& bytes) = 0;
    // Characters still waiting there.
    virtual qsizetype waiting() const = 0;

protected:
    virtual std::unique_ptr<FormCommunication> makeWindow() = 0;
    const QString folder_;
};

class MemoryLine : public Line {
public:
    using Line::Line;
    const char* name() const override { return "stand-in"; }
    void deliver(const QByteArray& bytes) override { control_->queue(bytes); }
    qsizetype waiting() const override { return control_->waiting(); }

protected:
    std::unique_ptr<FormCommunication> makeWindow() override {
        auto control = std::make_unique<MemoryControl>();
        control_ = control.get();
        return std::make_unique<FormCommunication>(folder_, std::move(control));
    }

private:
    MemoryControl* control_ = nullptr;
};

// The real serial control on the pseudo-terminal. A second descriptor on the
// terminal tells how many bytes wait in the kernel, without taking any.
class PtyLine : public Line {
public:
    PtyLine(const QString& folder, PtyPeer& peer) : Line(folder), peer_(peer) {
        monitor_ =
            ::open(peer_.slavePath().toLocal8Bit().constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        if (monitor_ < 0) {
            throw std::runtime_error("pty: cannot open the terminal");
        }
    }
    ~PtyLine() override { ::close(monitor_); }
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    const char* name() const override { return "pty"; }

    void deliver(const QByteArray& bytes) override {
        const qsizetype expected = waiting() + bytes.size();
        if (!peer_.send(bytes)) {
            throw std::runtime_error("pty: send failed");
        }
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(2);
        while (waiting() < expected) {
            if (Clock::now() > deadline) {
                throw std::runtime_error("pty: bytes did not arrive");
            }
            std::this_thread::yield();
        }
    }
    qsizetype waiting() const override {
        int count = 0;
        ::ioctl(monitor_, FIONREAD, &count);
        return count;
    }

protected:
    std::unique_ptr<FormCommunication> makeWindow() override {
        return std::make_unique<FormCommunication>(folder_);
    }

private:
    PtyPeer& peer_;
    int monitor_ = -1;
};

// Median and 99th percentile.
std::pair<double, double> summarize(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    const double median = n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    return {median,
            samples[static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(n))) - 1]};
}

long rssKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ')[0].toLong();
        }
    }
    return -1;
}

struct TickTimes {
    std::vector<double> tick;     // Timer1_Timer() alone
    std::vector<double> withPass; // plus the event pass that follows (repaint)
};

// One tick on `form`: the bytes are made to wait, then the handler runs, then
// the window handles what the tick left pending, as the event loop would.
void tickOnce(Line& line, FormCommunication& form, const QByteArray& bytes, TickTimes& times) {
    line.deliver(bytes);
    const Clock::time_point start = Clock::now();
    form.Timer1_Timer();
    const Clock::time_point ticked = Clock::now();
    QCoreApplication::processEvents();
    const Clock::time_point passed = Clock::now();
    if (line.waiting() != 0) {
        throw std::runtime_error(std::string(line.name()) + ": the tick left bytes waiting");
    }
    times.tick.push_back(micros(ticked - start));
    times.withPass.push_back(micros(passed - start));
}

struct Case {
    qsizetype perTick;
    bool fullLog;
    ReplyKind kind;
};

TickTimes measure(Line& line, const Case& c, int samples) {
    Feed feed(c.kind);
    TickTimes times;
    if (c.fullLog || c.perTick == 0) {
        // One window for all samples: a full log stays full, and a tick with
        // nothing waiting leaves the log as it was. 20 ticks warm it up.
        std::unique_ptr<FormCommunication> form = line.openWindow(c.kind);
        while (c.fullLog && form->receiveLog().size() < ReceiveLog::Capacity) {
            tickOnce(line, *form, feed.take(1024), times);
        }
        for (int i = 0; i < 20; ++i) {
            tickOnce(line, *form, feed.take(c.perTick), times);
        }
        times = {};
        for (int i = 0; i < samples; ++i) {
            tickOnce(line, *form, feed.take(c.perTick), times);
        }
    } else {
        // An empty log at the start of every tick: a fresh window each time,
        // the first one unmeasured.
        for (int i = 0; i <= samples; ++i) {
            tickOnce(line, *line.openWindow(c.kind), feed.take(c.perTick), times);
        }
        times.tick.erase(times.tick.begin());
        times.withPass.erase(times.withPass.begin());
    }
    return times;
}

void runCase(Line& line, const Case& c, int samples) {
    const TickTimes times = measure(line, c, samples);
    const auto [tickMedian, tickP99] = summarize(times.tick);
    const auto [passMedian, passP99] = summarize(times.withPass);
    std::printf("| %s | %lld | %s | %s | %zu | %.1f | %.1f | %.1f | %.1f |\n", line.name(),
                static_cast<long long>(c.perTick), c.fullLog ? "64 KiB (full)" : "empty",
                kindName(c.kind), times.tick.size(), tickMedian, tickP99, passMedian, passP99);
    std::fflush(stdout);
}

// 9600 baud with a start bit, 8 data bits and 2 stop bits: 11 bits a character.
constexpr qsizetype HourAtLineRate = 9600 * 3600 / 11;
constexpr qsizetype FloodPerTick = 48;

void flood(Line& line, ReplyKind kind, qsizetype total) {
    Feed feed(kind);
    std::unique_ptr<FormCommunication> form = line.openWindow(kind);
    // The samples' own storage is made resident before the first reading, so
    // that it does not show as growth of the window's memory.
    const qsizetype ticks = (total + FloodPerTick - 1) / FloodPerTick;
    TickTimes times;
    for (std::vector<double>* samples : {&times.tick, &times.withPass}) {
        samples->resize(static_cast<std::size_t>(ticks));
        samples->clear();
    }
    std::vector<long> tenths; // VmRSS after each tenth of the flood
    tenths.reserve(10);

    const long before = rssKiB();
    qsizetype fed = 0;
    for (qsizetype i = 0; i < ticks; ++i) {
        const qsizetype n = std::min(FloodPerTick, total - fed);
        tickOnce(line, *form, feed.take(n), times);
        fed += n;
        if ((i + 1) * 10 / ticks != i * 10 / ticks) {
            tenths.push_back(rssKiB());
        }
    }
    const auto [median, p99] = summarize(times.tick);
    const auto [least, most] = std::minmax_element(tenths.begin(), tenths.end());
    std::printf("| %s | %s | %.2f s | %.1f | %.1f | %ld → %ld → %ld | %ld |\n", line.name(),
                kindName(kind), std::accumulate(times.tick.begin(), times.tick.end(), 0.0) / 1e6,
                median, p99, before, tenths.front(), tenths.back(), *most - *least);
    std::fflush(stdout);
}

// The offscreen platform warns about every window it shows; nothing else is
// dropped.
void quietOffscreen(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (!message.contains(QLatin1String("propagateSizeHints"))) {
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
    }
}

} // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    qInstallMessageHandler(quietOffscreen);
    QApplication app(argc, argv);
    FormCommunication::applyClassicLook();

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Times the receive poller of the main window."));
    parser.addHelpOption();
    const QCommandLineOption quickOption(
        QStringLiteral("quick"), QStringLiteral("A tenth of the samples and of the flood."));
    parser.addOption(quickOption);
    parser.process(app);
    const int scale = parser.isSet(quickOption) ? 10 : 1;

    std::printf("# bench_poller\n\n%u cores, Qt %s, build type %s, platform %s%s\n",
                std::thread::hardware_concurrency(), qVersion(), BENCH_BUILD_TYPE,
                qPrintable(QGuiApplication::platformName()), scale == 1 ? "" : ", --quick");
    try {
        QTemporaryDir folder;
        PtyPeer peer;
        QFile record(portFilePath(folder.path()));
        if (!folder.isValid() || !peer.linkAs(folder.path(), 1) ||
            !record.open(QIODevice::WriteOnly) || record.write(recordForPort(1)) != 10) {
            throw std::runtime_error("cannot set up a program folder with COM1");
        }
        record.close();
        MemoryLine memory(folder.path());
        PtyLine pty(folder.path(), peer);
        const ReplyKind kinds[] = {ReplyKind::None, ReplyKind::Clock, ReplyKind::Schedule};

        std::printf("\n## Time per tick\n\n| line | chars/tick | log at start | reply kind "
                    "| samples | median µs | p99 µs | median µs incl. repaint "
                    "| p99 µs incl. repaint |\n|---|---:|---|---|---:|---:|---:|---:|---:|\n");
        for (Line* line : {static_cast<Line*>(&memory), static_cast<Line*>(&pty)}) {
            runCase(*line, {0, false, ReplyKind::None}, 2000 / scale);
            for (const bool fullLog : {false, true}) {
                for (const ReplyKind kind : kinds) {
                    runCase(*line, {1024, fullLog, kind}, (fullLog ? 2000 : 200) / scale);
                }
            }
        }

        std::printf("\n## One hour at line rate, %lld characters a tick\n\n| line | reply kind "
                    "| time in Timer1_Timer | median µs/tick | p99 µs/tick "
                    "| VmRSS KiB before → at 10 %% → at 100 %% | VmRSS change after 10 %%, KiB "
                    "|\n|---|---|---:|---:|---:|---|---:|\n",
                    static_cast<long long>(FloodPerTick));
        for (Line* line : {static_cast<Line*>(&memory), static_cast<Line*>(&pty)}) {
            for (const ReplyKind kind : kinds) {
                flood(*line, kind, HourAtLineRate / scale);
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_poller: %s\n", e.what());
        return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
}
