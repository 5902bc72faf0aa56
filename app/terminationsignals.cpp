#include "app/terminationsignals.h"

#include <QSocketNotifier>
#include <QWidget>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The handler's end and the event loop's end of the socket pair.
int signalSocket[2] = {-1, -1};

// One byte is enough to close the window. Once the socket is full the byte
// is dropped rather than waited for, which would hang the program inside the
// handler; errno is left as the interrupted code had it.
void onTerminationSignal(int) {
    const int interrupted = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalSocket[0], &byte, 1);
    errno = interrupted;
}

} // namespace

void closeOnTerminationSignals(QWidget& window) {
    // A write past the operator's file size limit would end the program with
    // the port held; ignored, the write fails and the port file says so.
    std::signal(SIGXFSZ, SIG_IGN);
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalSocket) != 0 ||
        ::fcntl(signalSocket[0], F_SETFL, O_NONBLOCK) != 0) {
        qWarning("cannot catch termination signals: %s", std::strerror(errno));
        return;
    }
    auto* notifier = new QSocketNotifier(signalSocket[1], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window, notifier] {
        notifier->setEnabled(false);
        window.close();
    });
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGHUP, SIGINT}) {
        ::sigaction(signal, &action, nullptr);
    }
}
