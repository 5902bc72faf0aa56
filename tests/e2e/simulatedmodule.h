#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

// What velkaro-module-sim wrote to its transcript: one JSON object per line,
// each with "t" (seconds on the machine's monotonic clock), and either
// "dir" ("rx" from the program, "tx" to it) with "hex", or "event".
class Transcript {
public:
    struct Entry {
        double t = 0;
        QString dir;      // "rx", "tx" or empty
        QByteArray bytes; // of rx and tx entries
        QString event;    // of event entries
        QJsonObject fields;
    };

    // Reads the complete lines of the file; a line still being written is
    // left for the next read.
    static Transcript read(const QString& path);

    const QList<Entry>& entries() const { return entries_; }
    // The event entries of one kind ("opened", "frame", ...), in order.
    QList<Entry> events(const QString& kind) const;
    int count(const QString& kind) const { return int(events(kind).size()); }
    // The kind of the last event, empty when there is none.
    QString lastEvent() const;
    // All bytes the program sent, and all the module answered.
    QByteArray received() const;
    QByteArray sent() const;
    // The texts of the frames the module listened to, accepted or not.
    QList<QByteArray> frames() const;
    // What the module sent after it listened to frame `index` (from 0), up
    // to and including its first carriage return.
    QByteArray answerTo(qsizetype index) const;
    // For each frame: seconds from the chunk that held the wake byte to the
    // first chunk after it.
    QList<double> wakeToFrameGaps() const;

private:
    QList<Entry> entries_;
};

// One velkaro-module-sim process at the end of a pseudo-terminal, reachable
// through a COMn link in the program folder.
class SimulatedModule {
public:
    SimulatedModule(QString linkPath, QString transcriptPath, QStringList options);
    ~SimulatedModule();
    SimulatedModule(const SimulatedModule&) = delete;
    SimulatedModule& operator=(const SimulatedModule&) = delete;

    // Starts the simulator and waits until its link is in place.
    bool start();
    // Ends it with SIGTERM, as a person pressing Ctrl+C would.
    void stop();
    QString error() const { return error_; }
    QString linkPath() const { return linkPath_; }
    QString devicePath() const { return devicePath_; }

    Transcript transcript() const { return Transcript::read(transcriptPath_); }
    // The transcript as written, for failure messages.
    QString transcriptText() const;

private:
    QString linkPath_;
    QString transcriptPath_;
    QStringList options_;
    QString devicePath_;
    QString error_;
    QProcess process_;
};
