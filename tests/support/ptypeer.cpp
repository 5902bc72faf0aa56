#include "support/ptypeer.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <stdexcept>
#include <unistd.h>

using namespace std::chrono_literals;

PtyPeer::PtyPeer() {
    if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    termios raw{};
    ::tcgetattr(slave_, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave_, TCSANOW, &raw);
    slavePath_ = QString::fromLocal8Bit(::ttyname(slave_));
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    reader_ = std::thread(&PtyPeer::readLoop, this);
    // Arrival stamps are only as good as the reader's wake-up: where allowed
    // (root), let it preempt the busy threads of a loaded machine.
    const sched_param priority{1};
    pthread_setschedparam(reader_.native_handle(), SCHED_FIFO, &priority);
}

PtyPeer::~PtyPeer() {
    hangUp();
}

bool PtyPeer::linkAs(const QString& folder, int port) const {
    const QString link = QDir(folder).filePath(QStringLiteral("COM%1").arg(port));
    QFile::remove(link);
    return QFile::link(slavePath_, link);
}

bool PtyPeer::send(const QByteArray& bytes) {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    qsizetype done = 0;
    while (master_ >= 0 && done < bytes.size()) {
        const ssize_t n =
            ::write(master_, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        pollfd fd{master_, POLLOUT, 0};
        ::poll(&fd, 1, 10);
    }
    return done == bytes.size();
}

std::vector<PtyPeer::Received> PtyPeer::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

QByteArray PtyPeer::receivedBytes() const {
    std::lock_guard lock(mutex_);
    QByteArray all;
    for (const Received& chunk : received_)
        all += chunk.bytes;
    return all;
}

bool PtyPeer::waitForBytes(qsizetype n, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return receivedCount_ >= n; });
}

termios PtyPeer::attributes() const {
    termios t{};
    if (master_ >= 0)
        ::tcgetattr(master_, &t);
    return t;
}

void PtyPeer::hangUp() {
    stop_ = true;
    if (reader_.joinable())
        reader_.join();
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
    if (slave_ >= 0) {
        ::close(slave_);
        slave_ = -1;
    }
}

void PtyPeer::readLoop() {
    char buffer[4096];
    while (!stop_) {
        pollfd fd{master_, POLLIN, 0};
        if (::poll(&fd, 1, 20) <= 0)
            continue;
        // Without POLLIN, or with EIO on reading, the line is gone: do not
        // spin on a master that polls as always ready.
        const ssize_t n = (fd.revents & POLLIN) != 0 ? ::read(master_, buffer, sizeof buffer) : 0;
        if (n > 0) {
            Received chunk{std::chrono::steady_clock::now(),
                           QByteArray(buffer, static_cast<qsizetype>(n))};
            {
                std::lock_guard lock(mutex_);
                receivedCount_ += n;
                received_.push_back(std::move(chunk));
            }
            arrived_.notify_all();
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            std::this_thread::sleep_for(10ms);
        }
    }
}
