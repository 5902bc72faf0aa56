#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

// The far end of a virtual serial line: a pseudo-terminal whose slave side the
// program under test opens as its serial port (which sets the line up), while
// the test reads and writes the master side. The slave is held open here, so
// the master sees no hang-up while the program closes and reopens the port. A
// reader thread records each chunk the program sends with its arrival time.
// Not copyable: it owns the terminal and the thread.
class PtyPeer {
public:
    struct Received {
        std::chrono::steady_clock::time_point at;
        QByteArray bytes;
    };

    PtyPeer() {
        if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        // A process that a test starts holds neither end.
        for (const int fd : {master_, slave_})
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        slavePath_ = QString::fromLocal8Bit(::ttyname(slave_));
        reader_ = std::thread(&PtyPeer::readLoop, this);
        // Arrival times are only as good as the reader's wake-up: where allowed
        // (as root), let it preempt the busy threads of a loaded machine.
        const sched_param priority{1};
        pthread_setschedparam(reader_.native_handle(), SCHED_FIFO, &priority);
    }
    ~PtyPeer() { hangUp(); }

    // The device the program opens, e.g. "/dev/pts/3".
    QString slavePath() const { return slavePath_; }
    // Makes folder/COM<port> a symbolic link to the slave, in place of any there.
    bool linkAs(const QString& folder, int port) const {
        const QString link = QDir(folder).filePath(QStringLiteral("COM%1").arg(port));
        QFile::remove(link);
        return QFile::link(slavePath(), link);
    }

    // Writes at the far end; false when not all of it went out within
    // `timeoutMs` or the line has been hung up.
    bool send(const QByteArray& bytes, int timeoutMs = 2000) {
        const QDeadlineTimer deadline(timeoutMs);
        for (qsizetype done = 0; done < bytes.size();
             std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
            const ssize_t n = ::write(master_, bytes.constData() + done, bytes.size() - done);
            if ((n < 0 && errno != EAGAIN) || deadline.hasExpired())
                return false;
            done += std::max<ssize_t>(n, 0);
        }
        return true;
    }

    // What the program has sent so far, chunk by chunk or joined.
    std::vector<Received> received() const {
        const std::lock_guard lock(mutex_);
        return received_;
    }
    QByteArray receivedBytes() const {
        const std::vector<Received> chunks = received();
        return std::accumulate(
            chunks.begin(), chunks.end(), QByteArray(),
            [](QByteArray all, const Received& chunk) { return all + chunk.bytes; });
    }
    bool waitForBytes(qsizetype count, int timeoutMs) const {
        const QDeadlineTimer deadline(timeoutMs);
        while (receivedBytes().size() < count && !deadline.hasExpired())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return receivedBytes().size() >= count;
    }

    // Bytes written here that the program has not read yet.
    int unread() const {
        int count = 0;
        return ::ioctl(slave_, FIONREAD, &count) == 0 ? count : -1;
    }

    // Stops the line in the program's direction, as a device that holds its
    // flow control off: what the program writes stays queued.
    bool stall() const { return ::tcflow(slave_, TCOOFF) == 0; }

    // The line as the program set it up (the master side reads the slave's
    // settings).
    termios line() const {
        termios settings{};
        ::tcgetattr(master_, &settings);
        return settings;
    }
    // Closes the slave side held here, for a program in another process:
    // serial programs refuse a device that another process has open. The
    // line then reads as hung up whenever the program has it closed.
    void letGo() { ::close(std::exchange(slave_, -1)); }
    // While paused, nothing is read at the far end: the terminal's buffers
    // fill up and then take no more, as a device that falls behind.
    void pauseReading(bool paused) { paused_ = paused; }

    // Closes the far end, as when the cable is pulled. What was received
    // stays readable.
    void hangUp() {
        stop_ = true;
        if (reader_.joinable())
            reader_.join();
        ::close(std::exchange(master_, -1));
        ::close(std::exchange(slave_, -1));
    }

private:
    void readLoop() {
        char buffer[4096];
        while (!stop_) {
            pollfd fd{master_, static_cast<short>(paused_ ? 0 : POLLIN), 0};
            const bool ready = ::poll(&fd, 1, 20) > 0 && !paused_;
            if (ready && (fd.revents & POLLIN) == 0) // hung up: nobody has the slave open
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const ssize_t n = ready ? ::read(master_, buffer, sizeof buffer) : 0;
            const std::lock_guard lock(mutex_);
            if (n > 0)
                received_.push_back({std::chrono::steady_clock::now(), QByteArray(buffer, n)});
        }
    }

    int master_ = -1;
    int slave_ = -1;
    QString slavePath_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> paused_{false};
    std::thread reader_;
    mutable std::mutex mutex_;
    std::vector<Received> received_;
};
