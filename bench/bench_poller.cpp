// Measures the receive poller, FormCommunication::Timer1_Timer(), on a real
// window (offscreen platform): time per tick for 48 and 1024 waiting
// characters, with the receive log empty and at its bound, in each reply mode,
// and a one-hour flood at line rate with the resident memory along the way.
//
// Two serial lines feed the window: a stand-in control that serves bytes from
// memory (the poller and the widgets alone), and the real SerialControl on a
// pseudo-terminal (the operating system's part included).
//
// Usage: bench_poller [--quick] [--case line,chars,log,mode[,bytes] [--samples n]]
// (see --help and README.md). Prints Markdown tables on standard output; exits
// non-zero only when the measurement itself went wrong (bytes not delivered or
// not consumed).

#include "app/formcommunication.h"
#include "config/declarations.h"
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
#include <cstring>
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

#ifndef BENCH_BUILD_TYPE
#define BENCH_BUILD_TYPE "unknown"
#endif

namespace {

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// --- What the module sends ---------------------------------------------------

enum class Payload { ClockReplies, ScheduleReplies, Random };

const char* payloadName(Payload payload) {
    switch (payload) {
    case Payload::ClockReplies:
        return "clock replies";
    case Payload::ScheduleReplies:
        return "schedule replies";
    case Payload::Random:
        return "random bytes";
    }
    return "";
}

// What the module sends in a reply mode: the replies decoded in it, or noise
// when nothing is decoded.
Payload repliesFor(int replyMode) {
    return replyMode == 1   ? Payload::ClockReplies
           : replyMode == 2 ? Payload::ScheduleReplies
                            : Payload::Random;
}

QByteArray pattern(Payload payload) {
    switch (payload) {
    case Payload::ClockReplies:
        return QByteArrayLiteral("T26/01/05 09:07:03\r");
    case Payload::ScheduleReplies:
        return QByteArrayLiteral("SLOTS3,F0\r");
    case Payload::Random:
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
    explicit Feed(Payload payload) : pattern_(pattern(payload)) {}

    QByteArray take(qsizetype n) {
        QByteArray out;
        out.reserve(n);
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

// --- Serial lines ------------------------------------------------------------

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
        if (waiting() == 0) {
            return {};
        }
        return QByteArray(1, pending_.at(read_++));
    }
    void Output(const QByteArray&) override {}

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

// Where a window's serial control gets its bytes from.
class Line {
public:
    virtual ~Line() = default;
    virtual const char* name() const = 0;
    // A new window, loaded and shown as at program start, on this line.
    std::unique_ptr<FormCommunication> openWindow() {
        std::unique_ptr<FormCommunication> form = makeWindow();
        // The benchmark drives the ticks itself.
        form->findChild<QTimer*>(QStringLiteral("Timer1"))->stop();
        form->Form_Load();
        if (!form->commControl().PortOpen()) {
            throw std::runtime_error(std::string(name()) + ": the port did not open");
        }
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
};

class MemoryLine : public Line {
public:
    const char* name() const override { return "stand-in"; }
    void deliver(const QByteArray& bytes) override { control_->queue(bytes); }
    qsizetype waiting() const override { return control_->waiting(); }

protected:
    std::unique_ptr<FormCommunication> makeWindow() override {
        auto control = std::make_unique<MemoryControl>();
        control_ = control.get();
        return std::make_unique<FormCommunication>(std::move(control));
    }

private:
    MemoryControl* control_ = nullptr;
};

// The real serial control on a pseudo-terminal linked as COM1 in a temporary
// program folder. A second descriptor on the terminal tells how many bytes
// wait in the kernel, without taking any.
class PtyLine : public Line {
public:
    PtyLine() {
        if (!folder_.isValid() || !peer_.linkAs(folder_.path(), 1)) {
            throw std::runtime_error("pty: cannot link COM1");
        }
        setProgramFolder(folder_.path());
        QFile record(portFilePath());
        if (!record.open(QIODevice::WriteOnly) || record.write("1         ") != 10) {
            throw std::runtime_error("pty: cannot write the port number file");
        }
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
        return std::make_unique<FormCommunication>();
    }

private:
    QTemporaryDir folder_;
    PtyPeer peer_;
    int monitor_ = -1;
};

// --- Statistics and memory ---------------------------------------------------

struct Summary {
    double median = 0;
    double p99 = 0;
    double mean = 0;
    double max = 0;
};

Summary summarize(std::vector<double> samples) {
    Summary s;
    if (samples.empty()) {
        return s;
    }
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    s.median = n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    s.p99 = samples[static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(n))) - 1];
    s.mean = std::accumulate(samples.begin(), samples.end(), 0.0) / static_cast<double>(n);
    s.max = samples.back();
    return s;
}

// A "VmXXX:" figure of /proc/self/status, in KiB.
long statusKiB(const char* key) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(key)) {
            return line.mid(static_cast<qsizetype>(std::strlen(key)))
                .trimmed()
                .split(' ')[0]
                .toLong();
        }
    }
    return -1;
}

// Starts the peak resident figure afresh from the current one.
bool resetPeak() {
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    return clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1;
}

// --- Measurements ------------------------------------------------------------

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

void fillLog(Line& line, FormCommunication& form, Feed& feed) {
    TickTimes ignored;
    while (form.receiveLog().size() < ReceiveLog::Capacity) {
        tickOnce(line, form, feed.take(1024), ignored);
    }
}

struct Case {
    qsizetype perTick;
    bool fullLog;
    int replyMode;
    Payload payload;
};

TickTimes measure(Line& line, const Case& c, int samples) {
    Feed feed(c.payload);
    TickTimes times;
    if (c.fullLog || c.perTick == 0) {
        // One window for all samples: a full log stays full, and a tick with
        // nothing waiting leaves the log as it was.
        std::unique_ptr<FormCommunication> form = line.openWindow();
        Declarations::ReplyMode = c.replyMode;
        if (c.fullLog) {
            fillLog(line, *form, feed);
        }
        for (int i = 0; i < 20; ++i) {
            tickOnce(line, *form, feed.take(c.perTick), times);
        }
        times = {};
        for (int i = 0; i < samples; ++i) {
            tickOnce(line, *form, feed.take(c.perTick), times);
        }
    } else {
        // An empty log at the start of every tick: a fresh window each time.
        for (int i = 0; i <= samples; ++i) {
            std::unique_ptr<FormCommunication> form = line.openWindow();
            Declarations::ReplyMode = c.replyMode;
            tickOnce(line, *form, feed.take(c.perTick), times);
        }
        times.tick.erase(times.tick.begin());
        times.withPass.erase(times.withPass.begin());
    }
    return times;
}

void printCaseHeader() {
    std::printf("| line | chars/tick | log at start | ReplyMode | bytes | samples "
                "| median µs | p99 µs | median µs incl. repaint | p99 µs incl. repaint |\n");
    std::printf("|---|---:|---|---:|---|---:|---:|---:|---:|---:|\n");
}

void runCase(Line& line, const Case& c, int samples) {
    const TickTimes times = measure(line, c, samples);
    const Summary tick = summarize(times.tick);
    const Summary pass = summarize(times.withPass);
    std::printf("| %s | %lld | %s | %d | %s | %zu | %.1f | %.1f | %.1f | %.1f |\n", line.name(),
                static_cast<long long>(c.perTick), c.fullLog ? "64 KiB (full)" : "empty",
                c.replyMode, c.perTick == 0 ? "none" : payloadName(c.payload), times.tick.size(),
                tick.median, tick.p99, pass.median, pass.p99);
    std::fflush(stdout);
}

// 9600 baud with a start bit, 8 data bits and 2 stop bits: 11 bits a character.
constexpr qsizetype kHourAtLineRate = 9600 * 3600 / 11;
constexpr qsizetype kFloodPerTick = 48;

void flood(Line& line, int replyMode, Payload payload, qsizetype total) {
    Feed feed(payload);
    std::unique_ptr<FormCommunication> form = line.openWindow();
    Declarations::ReplyMode = replyMode;

    // The samples' own storage, made resident before the first reading so
    // that it does not show as growth of the window's memory.
    const qsizetype ticks = (total + kFloodPerTick - 1) / kFloodPerTick;
    TickTimes times;
    for (std::vector<double>* samples : {&times.tick, &times.withPass}) {
        samples->resize(static_cast<std::size_t>(ticks));
        samples->clear();
    }
    std::vector<std::pair<long, long>> checkpoints; // VmRSS, VmHWM after each tenth
    checkpoints.reserve(10);

    const bool peakReset = resetPeak();
    const long rssBefore = statusKiB("VmRSS:");
    const long hwmBefore = statusKiB("VmHWM:");
    const Clock::time_point start = Clock::now();
    qsizetype fed = 0;
    for (qsizetype i = 0; i < ticks; ++i) {
        const qsizetype n = std::min(kFloodPerTick, total - fed);
        tickOnce(line, *form, feed.take(n), times);
        fed += n;
        if ((i + 1) * 10 / ticks != i * 10 / ticks) {
            checkpoints.emplace_back(statusKiB("VmRSS:"), statusKiB("VmHWM:"));
        }
    }
    const double wall = micros(Clock::now() - start) / 1e6;
    const Summary tick = summarize(times.tick);
    const Summary pass = summarize(times.withPass);
    const double inTicks = std::accumulate(times.tick.begin(), times.tick.end(), 0.0) / 1e6;

    std::printf("\n**%s, ReplyMode %d, %s**: %lld characters in %lld ticks of %lld; "
                "log %lld bytes at the end%s\n\n",
                line.name(), replyMode, payloadName(payload), static_cast<long long>(fed),
                static_cast<long long>(ticks), static_cast<long long>(kFloodPerTick),
                static_cast<long long>(form->receiveLog().size()),
                peakReset ? "" : " (peak could not be reset: VmHWM includes earlier work)");
    std::printf("| total in Timer1_Timer | wall time incl. delivery and repaint | mean µs/tick "
                "| median µs/tick | p99 µs/tick | max µs/tick | median µs incl. repaint |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|---:|\n");
    std::printf("| %.2f s | %.2f s | %.1f | %.1f | %.1f | %.0f | %.1f |\n\n", inTicks, wall,
                tick.mean, tick.median, tick.p99, tick.max, pass.median);
    std::printf("| | before | 10 %% | 20 %% | 30 %% | 40 %% | 50 %% | 60 %% | 70 %% | 80 %% "
                "| 90 %% | 100 %% |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    std::printf("| VmRSS KiB | %ld", rssBefore);
    for (const auto& [rss, hwm] : checkpoints) {
        std::printf(" | %ld", rss);
    }
    std::printf(" |\n| VmHWM KiB | %ld", hwmBefore);
    for (const auto& [rss, hwm] : checkpoints) {
        std::printf(" | %ld", hwm);
    }
    std::printf(" |\n");
    std::fflush(stdout);
}

// "line,chars,log,mode[,bytes]" of --case; true for the pty line.
std::pair<bool, Case> parseCase(const QString& text) {
    const QStringList parts = text.split(QLatin1Char(','));
    bool charsOk = false;
    bool modeOk = false;
    Case c{};
    if (parts.size() >= 4) {
        c.perTick = parts[1].toLongLong(&charsOk);
        c.fullLog = parts[2] == QLatin1String("full");
        c.replyMode = parts[3].toInt(&modeOk);
    }
    const bool lineOk =
        parts.value(0) == QLatin1String("pty") || parts.value(0) == QLatin1String("stand-in");
    const bool logOk = parts.value(2) == QLatin1String("empty") || c.fullLog;
    if (!lineOk || !charsOk || c.perTick < 0 || !logOk || !modeOk || parts.size() > 5) {
        throw std::runtime_error("--case: expected line,chars,log,mode[,bytes], got " +
                                 text.toStdString());
    }
    c.payload = repliesFor(c.replyMode);
    if (parts.size() == 5) {
        const QString bytes = parts[4];
        if (bytes == QLatin1String("clock")) {
            c.payload = Payload::ClockReplies;
        } else if (bytes == QLatin1String("schedule")) {
            c.payload = Payload::ScheduleReplies;
        } else if (bytes == QLatin1String("random")) {
            c.payload = Payload::Random;
        } else {
            throw std::runtime_error("--case: bytes are clock, schedule or random");
        }
    }
    return {parts[0] == QLatin1String("pty"), c};
}

// The offscreen platform warns about every window it shows; nothing else is
// dropped.
void quietOffscreen(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.contains(QLatin1String("propagateSizeHints"))) {
        return;
    }
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

QString cpuModel() {
    QFile info(QStringLiteral("/proc/cpuinfo"));
    if (info.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : info.readAll().split('\n')) {
            if (line.startsWith("model name")) {
                return QString::fromLatin1(line.mid(line.indexOf(':') + 1).trimmed());
            }
        }
    }
    return QStringLiteral("unknown");
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
    const QCommandLineOption caseOption(
        QStringLiteral("case"),
        QStringLiteral("Only this tick case, e.g. pty,1024,empty,1 or stand-in,48,full,2,random "
                       "(bytes: clock, schedule or random; default: the replies of the mode)."),
        QStringLiteral("line,chars,log,mode[,bytes]"));
    const QCommandLineOption samplesOption(QStringLiteral("samples"),
                                           QStringLiteral("Ticks measured for --case."),
                                           QStringLiteral("n"), QStringLiteral("2000"));
    parser.addOptions({quickOption, caseOption, samplesOption});
    parser.process(app);
    const int scale = parser.isSet(quickOption) ? 10 : 1;

    std::printf("# bench_poller\n\n%u cores (nproc), %s; Qt %s; build type %s; platform %s%s\n",
                std::thread::hardware_concurrency(), qPrintable(cpuModel()), qVersion(),
                BENCH_BUILD_TYPE, qPrintable(QGuiApplication::platformName()),
                scale == 1 ? "" : "; --quick");

    try {
        // The pty line makes the program folder; the stand-in shares it.
        PtyLine pty;
        MemoryLine memory;
        if (parser.isSet(caseOption)) {
            const auto [onPty, c] = parseCase(parser.value(caseOption));
            std::printf("\n");
            printCaseHeader();
            runCase(onPty ? static_cast<Line&>(pty) : memory, c,
                    parser.value(samplesOption).toInt());
            return EXIT_SUCCESS;
        }

        std::printf("\n## One hour at line rate\n");
        for (Line* line : {static_cast<Line*>(&memory), static_cast<Line*>(&pty)}) {
            for (int mode = 0; mode <= 2; ++mode) {
                flood(*line, mode, repliesFor(mode), kHourAtLineRate / scale);
            }
        }

        std::printf("\n## Time per tick\n\n");
        printCaseHeader();
        // What every tick of an idle window costs.
        runCase(memory, {0, false, 0, Payload::Random}, 2000 / scale);
        runCase(pty, {0, false, 0, Payload::Random}, 2000 / scale);
        for (const qsizetype perTick : {qsizetype{48}, qsizetype{1024}}) {
            for (const bool fullLog : {false, true}) {
                const int samples = (fullLog ? 2000 : 200) / scale;
                for (int mode = 0; mode <= 2; ++mode) {
                    for (const Payload payload :
                         {Payload::ClockReplies, Payload::ScheduleReplies, Payload::Random}) {
                        runCase(memory, {perTick, fullLog, mode, payload}, samples);
                    }
                    // The operating system's part does not depend on the bytes.
                    runCase(pty, {perTick, fullLog, mode, repliesFor(mode)}, samples);
                }
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_poller: %s\n", e.what());
        return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
}
