#include "polling.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

namespace Polling {

namespace {

constexpr int StepMs = 25;

} // namespace

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) {
            // One last look: the condition may have come true while asleep.
            return condition();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, StepMs);
        QThread::msleep(StepMs);
    }
    return true;
}

} // namespace Polling
