#include "simulatedmodule.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

namespace {

constexpr int StartTimeoutMs = 20000;
constexpr int StopTimeoutMs = 10000;

} // namespace

Transcript Transcript::read(const QString& path) {
    Transcript transcript;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return transcript;
    }
    const QByteArray content = file.readAll();
    const qsizetype complete = content.lastIndexOf('\n') + 1;
    for (const QByteArray& line : content.first(complete).split('\n')) {
        if (line.isEmpty()) {
            continue;
        }
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        Entry entry;
        entry.t = object.value(QStringLiteral("t")).toDouble();
        entry.dir = object.value(QStringLiteral("dir")).toString();
        entry.bytes =
            QByteArray::fromHex(object.value(QStringLiteral("hex")).toString().toLatin1());
        entry.event = object.value(QStringLiteral("event")).toString();
        entry.fields = object;
        transcript.entries_.append(entry);
    }
    return transcript;
}

QList<Transcript::Entry> Transcript::events(const QString& kind) const {
    QList<Entry> found;
    for (const Entry& entry : entries_) {
        if (entry.event == kind) {
            found.append(entry);
        }
    }
    return found;
}

QString Transcript::lastEvent() const {
    for (auto entry = entries_.crbegin(); entry != entries_.crend(); ++entry) {
        if (!entry->event.isEmpty()) {
            return entry->event;
        }
    }
    return {};
}

QByteArray Transcript::received() const {
    QByteArray bytes;
    for (const Entry& entry : entries_) {
        if (entry.dir == QLatin1String("rx")) {
            bytes += entry.bytes;
        }
    }
    return bytes;
}

QByteArray Transcript::sent() const {
    QByteArray bytes;
    for (const Entry& entry : entries_) {
        if (entry.dir == QLatin1String("tx")) {
            bytes += entry.bytes;
        }
    }
    return bytes;
}

QList<QByteArray> Transcript::frames() const {
    QList<QByteArray> texts;
    for (const Entry& entry : events(QStringLiteral("frame"))) {
        texts.append(entry.fields.value(QStringLiteral("text")).toString().toLatin1());
    }
    return texts;
}

QByteArray Transcript::answerTo(qsizetype index) const {
    QByteArray answer;
    qsizetype frames = 0;
    for (const Entry& entry : entries_) {
        if (entry.event == QLatin1String("frame")) {
            ++frames;
        } else if (frames == index + 1 && entry.dir == QLatin1String("tx")) {
            answer += entry.bytes;
        }
    }
    const qsizetype end = answer.indexOf('\r');
    return end < 0 ? answer : answer.first(end + 1);
}

QList<double> Transcript::wakeToFrameGaps() const {
    QList<double> gaps;
    double wokeAt = -1;
    for (const Entry& entry : entries_) {
        if (entry.dir != QLatin1String("rx")) {
            continue;
        }
        if (wokeAt >= 0) {
            gaps.append(entry.t - wokeAt);
            wokeAt = -1;
        }
        if (entry.bytes.endsWith('\x80')) {
            wokeAt = entry.t;
        }
    }
    return gaps;
}

SimulatedModule::SimulatedModule(QString linkPath, QString transcriptPath, QStringList options)
    : linkPath_(std::move(linkPath)), transcriptPath_(std::move(transcriptPath)),
      options_(std::move(options)) {
    process_.setProcessChannelMode(QProcess::SeparateChannels);
}

SimulatedModule::~SimulatedModule() {
    stop();
}

bool SimulatedModule::start() {
    QStringList arguments{QStringLiteral("--link"), linkPath_, QStringLiteral("--transcript"),
                          transcriptPath_};
    arguments += options_;
    process_.start(QStringLiteral(VELKARO_MODULE_SIM), arguments);
    // The simulator prints its terminal's path once the link and the
    // transcript are in place.
    while (!process_.canReadLine()) {
        if (!process_.waitForReadyRead(StartTimeoutMs)) {
            error_ = QStringLiteral("velkaro-module-sim %1 did not start: %2 %3")
                         .arg(arguments.join(QLatin1Char(' ')), process_.errorString(),
                              QString::fromLocal8Bit(process_.readAllStandardError()));
            return false;
        }
    }
    devicePath_ = QString::fromLocal8Bit(process_.readLine()).trimmed();
    if (QFileInfo(linkPath_).symLinkTarget() != devicePath_) {
        error_ =
            QStringLiteral("velkaro-module-sim made no link %1 to %2").arg(linkPath_, devicePath_);
        return false;
    }
    return true;
}

QString SimulatedModule::transcriptText() const {
    QFile file(transcriptPath_);
    if (!file.open(QIODevice::ReadOnly)) {
        return QStringLiteral("(no transcript %1)").arg(transcriptPath_);
    }
    return QStringLiteral("transcript of %1:\n%2")
        .arg(linkPath_, QString::fromLatin1(file.readAll()));
}

void SimulatedModule::stop() {
    if (process_.state() == QProcess::NotRunning) {
        return;
    }
    process_.terminate();
    if (!process_.waitForFinished(StopTimeoutMs)) {
        process_.kill();
        process_.waitForFinished();
    }
}
