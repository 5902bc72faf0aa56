#include "simulator.h"

#include "terminalline.h"

#include <QJsonDocument>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace ModuleSim {

namespace {

using namespace std::chrono_literals;

// How often a closed terminal is checked for a new opener. While nobody has
// it open the master side reports a hang-up all the time, so it cannot be
// left to a notifier.
constexpr auto OpenerPollInterval = 20ms;
// The program configures the port right after opening it.
constexpr auto SettleTime = 50ms;

Nanos steadyNow() {
    return std::chrono::duration_cast<Nanos>(std::chrono::steady_clock::now().time_since_epoch());
}

QString systemError(const QString& what) {
    return QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
}

ModuleClock startingClock(const Options& options) {
    const qint64 now = localWallMs();
    return ModuleClock(options.clockStartWallMs.value_or(now + options.clockOffsetMs), steadyNow(),
                       options.frozen, options.driftPpm);
}

QString linkTarget(const QString& path) {
    char target[4096];
    const ssize_t length = ::readlink(QFile::encodeName(path).constData(), target, sizeof target);
    return length < 0 ? QString() : QFile::decodeName(QByteArray(target, length));
}

} // namespace

Simulator::Simulator(const Options& options, QObject* parent)
    : QObject(parent), options_(options),
      module_(options.behaviour, startingClock(options), options.schedule) {
    openerPoll_.setInterval(OpenerPollInterval);
    connect(&openerPoll_, &QTimer::timeout, this, &Simulator::checkForOpener);
    settle_.setSingleShot(true);
    settle_.setInterval(SettleTime);
    connect(&settle_, &QTimer::timeout, this, [this] { announceOpened(true); });
    answerTimer_.setSingleShot(true);
    connect(&answerTimer_, &QTimer::timeout, this, &Simulator::sendDueAnswers);
}

Simulator::~Simulator() {
    removeLink();
    if (master_ >= 0) {
        ::close(master_);
    }
}

bool Simulator::start(QString& error) {
    int slave = -1;
    if (::openpty(&master_, &slave, nullptr, nullptr, nullptr) != 0) {
        error = systemError(QStringLiteral("cannot open a pseudo-terminal"));
        return false;
    }
    const char* device = ::ttyname(slave);
    if (device == nullptr) {
        error = systemError(QStringLiteral("cannot name the pseudo-terminal"));
        ::close(slave);
        return false;
    }
    devicePath_ = QFile::decodeName(device);
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    // Without a slave descriptor of our own, the master side tells when the
    // program opens and closes the terminal.
    ::close(slave);
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);

    if (!options_.linkPath.isEmpty()) {
        const QByteArray link = QFile::encodeName(options_.linkPath);
        struct stat status {};
        if (::lstat(link.constData(), &status) == 0) {
            if (!S_ISLNK(status.st_mode)) {
                error = QStringLiteral("cannot link %1: it exists and is not a symbolic link")
                            .arg(options_.linkPath);
                return false;
            }
            ::unlink(link.constData());
        }
        if (::symlink(QFile::encodeName(devicePath_).constData(), link.constData()) != 0) {
            error = systemError(QStringLiteral("cannot link %1").arg(options_.linkPath));
            return false;
        }
        linked_ = true;
    }

    if (!options_.transcriptPath.isEmpty()) {
        transcript_.setFileName(options_.transcriptPath);
        if (!transcript_.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            error = QStringLiteral("cannot write transcript %1: %2")
                        .arg(options_.transcriptPath, transcript_.errorString());
            return false;
        }
    }

    readable_ = std::make_unique<QSocketNotifier>(master_, QSocketNotifier::Read);
    readable_->setEnabled(false);
    connect(readable_.get(), &QSocketNotifier::activated, this, &Simulator::readLine);
    writable_ = std::make_unique<QSocketNotifier>(master_, QSocketNotifier::Write);
    writable_->setEnabled(false);
    connect(writable_.get(), &QSocketNotifier::activated, this, &Simulator::writeOutgoing);
    openerPoll_.start();
    return true;
}

void Simulator::checkForOpener() {
    pollfd watch{master_, POLLIN, 0};
    if (::poll(&watch, 1, 0) < 0 || (watch.revents & POLLHUP) != 0) {
        return;
    }
    openerPoll_.stop();
    line_ = Line::Opening;
    readable_->setEnabled(true);
    settle_.start();
}

// The line settings are read once the program has had time to set the line
// up, or at its first byte. An open that ends sooner (one only to try the
// port) leaves the terminal at its defaults: that is recorded, not warned of.
void Simulator::announceOpened(bool settled) {
    if (line_ != Line::Opening) {
        return;
    }
    line_ = Line::Open;
    settle_.stop();
    termios attributes{};
    ::tcgetattr(master_, &attributes);
    const TerminalLine settings = terminalLine(attributes);
    record(steadyNow(), openedEvent(settings));
    if (settled && settings != ModuleLine) {
        std::fprintf(stderr,
                     "velkaro-module-sim: warning: port opened at %d,%c,%d,%d; the module "
                     "runs at 9600,n,8,2\n",
                     settings.speed, settings.parity, settings.dataBits, settings.stopBits);
    }
}

void Simulator::readLine() {
    char buffer[4096];
    const ssize_t count = ::read(master_, buffer, sizeof buffer);
    if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (count <= 0) {
        lineClosed();
        return;
    }
    announceOpened(true);
    // Both clocks read together, before the transcript is written: a clock
    // set is judged against the moment its bytes arrived.
    const Nanos at = steadyNow();
    const qint64 localNow = localWallMs();
    qsizetype taken = count;
    if (options_.hangupAfter > 0) {
        taken = qsizetype(std::min<qint64>(taken, options_.hangupAfter - received_));
    }
    received_ += taken;
    const QByteArray bytes(buffer, taken);
    record(at, QJsonObject{{"dir", "rx"}, {"hex", QString::fromLatin1(bytes.toHex())}});
    const Reaction reaction = module_.receive(bytes, at, localNow);
    for (const QJsonObject& event : reaction.events) {
        record(at, event);
    }
    if (options_.hangupAfter > 0 && received_ >= options_.hangupAfter) {
        hangUp();
        return;
    }
    answer(reaction.send);
}

void Simulator::lineClosed() {
    announceOpened(false);
    line_ = Line::Closed;
    readable_->setEnabled(false);
    writable_->setEnabled(false);
    // Whatever was still to be sent is lost on a line nobody listens to.
    outgoing_.clear();
    delayed_.clear();
    answerTimer_.stop();
    record(steadyNow(), QJsonObject{{"event", "closed"}});
    openerPoll_.start();
}

void Simulator::answer(const QByteArray& bytes) {
    if (bytes.isEmpty()) {
        return;
    }
    if (options_.delayMs == 0) {
        outgoing_.append(bytes);
        writeOutgoing();
        return;
    }
    delayed_.push_back({steadyNow() + std::chrono::milliseconds(options_.delayMs), bytes});
    if (!answerTimer_.isActive()) {
        answerTimer_.start(options_.delayMs);
    }
}

void Simulator::sendDueAnswers() {
    const Nanos now = steadyNow();
    while (!delayed_.empty() && delayed_.front().due <= now) {
        outgoing_.append(delayed_.front().bytes);
        delayed_.pop_front();
    }
    writeOutgoing();
    if (!delayed_.empty()) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(delayed_.front().due - now);
        answerTimer_.start(wait);
    }
}

void Simulator::writeOutgoing() {
    while (!outgoing_.isEmpty()) {
        const ssize_t written = ::write(master_, outgoing_.constData(), size_t(outgoing_.size()));
        if (written < 0) {
            if (errno == EAGAIN) {
                writable_->setEnabled(true);
                return;
            }
            if (errno == EINTR) {
                continue;
            }
            // The program is gone; the reader side records the close.
            outgoing_.clear();
            break;
        }
        record(steadyNow(),
               QJsonObject{{"dir", "tx"},
                           {"hex", QString::fromLatin1(outgoing_.first(written).toHex())}});
        outgoing_.remove(0, written);
    }
    writable_->setEnabled(false);
}

void Simulator::hangUp() {
    openerPoll_.stop();
    settle_.stop();
    answerTimer_.stop();
    readable_.reset();
    writable_.reset();
    ::close(master_);
    master_ = -1;
    record(steadyNow(), QJsonObject{{"event", "hangup"}});
    emit hungUp();
}

void Simulator::record(Nanos at, const QJsonObject& event) {
    if (!transcript_.isOpen()) {
        return;
    }
    // "t" first, for people reading the file.
    const QByteArray fields = QJsonDocument(event).toJson(QJsonDocument::Compact).sliced(1);
    const double seconds = std::chrono::duration<double>(at).count();
    transcript_.write("{\"t\":" + QByteArray::number(seconds, 'f', 6) + ',' + fields + '\n');
    transcript_.flush();
}

void Simulator::removeLink() {
    // Only our own link: someone may have replaced it meanwhile.
    if (linked_ && linkTarget(options_.linkPath) == devicePath_) {
        ::unlink(QFile::encodeName(options_.linkPath).constData());
    }
    linked_ = false;
}

} // namespace ModuleSim
