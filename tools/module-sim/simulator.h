#pragma once

#include "modulestate.h"
#include "simoptions.h"

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

#include <deque>
#include <memory>

namespace ModuleSim {

// The module at the far end of a pseudo-terminal. It watches the program open
// and close the terminal, passes received bytes to a ModuleState, sends the
// answers and writes the transcript.
class Simulator : public QObject {
    Q_OBJECT

public:
    explicit Simulator(const Options& options, QObject* parent = nullptr);
    ~Simulator() override;

    // Opens the terminal, the link and the transcript. On failure returns
    // false with the reason in `error`.
    bool start(QString& error);
    QString devicePath() const { return devicePath_; }

signals:
    // The line was closed by --hangup-after.
    void hungUp();

private:
    enum class Line { Closed, Opening, Open };

    void checkForOpener();
    void announceOpened(bool settled);
    void readLine();
    void lineClosed();
    void answer(const QByteArray& bytes);
    void sendDueAnswers();
    void writeOutgoing();
    void hangUp();
    void record(Nanos at, const QJsonObject& event);
    void removeLink();

    Options options_;
    ModuleState module_;
    QFile transcript_;
    int master_ = -1;
    QString devicePath_;
    bool linked_ = false;
    Line line_ = Line::Closed;
    qint64 received_ = 0;

    QTimer openerPoll_; // while nobody has the terminal open
    QTimer settle_;     // lets the program finish configuring before "opened"
    QTimer answerTimer_;
    std::unique_ptr<QSocketNotifier> readable_;
    std::unique_ptr<QSocketNotifier> writable_;

    struct DelayedAnswer {
        Nanos due;
        QByteArray bytes;
    };
    std::deque<DelayedAnswer> delayed_;
    QByteArray outgoing_;
};

} // namespace ModuleSim
