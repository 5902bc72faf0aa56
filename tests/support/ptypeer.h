#pragma once

#include <QByteArray>
#include <QString>

#include <termios.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

// The far end of a virtual serial line: a pseudo-terminal whose slave side the
// program under test opens as its serial port, while the test reads and
// writes the master side.
//
// The slave is put in raw mode, so nothing is echoed, and held open here, so
// that the master never reports a hang-up while the program closes and reopens
// the port: the reader thread then sleeps in poll() and stamps each chunk the
// moment it arrives. A background thread records everything the program sends,
// with the time it arrived.
class PtyPeer {
public:
    struct Received {
        std::chrono::steady_clock::time_point at;
        QByteArray bytes;
    };

    // Throws std::runtime_error when no pseudo-terminal can be had.
    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    // The device the program opens, e.g. "/dev/pts/3".
    QString slavePath() const { return slavePath_; }
    // Makes folder/COM<port> a symbolic link to the slave, replacing an
    // existing link or file of that name.
    bool linkAs(const QString& folder, int port) const;

    // Writes the bytes at the far end; false if not all of them could be
    // written within two seconds or the line has been hung up.
    bool send(const QByteArray& bytes);

    // Everything the program has sent so far, chunk by chunk or joined.
    std::vector<Received> received() const;
    QByteArray receivedBytes() const;
    // Waits until at least n bytes in all have been received.
    bool waitForBytes(qsizetype n, int timeoutMs) const;

    // The line settings the program gave the port (speed, parity, ...).
    termios attributes() const;

    // Closes the far end, as when the cable is pulled. Everything received
    // until then stays readable.
    void hangUp();

private:
    void readLoop();

    int master_ = -1;
    int slave_ = -1;
    QString slavePath_;
    std::atomic<bool> stop_{false};
    std::thread reader_;
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::vector<Received> received_;
    qsizetype receivedCount_ = 0;
};
