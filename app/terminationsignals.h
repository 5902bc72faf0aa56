#pragma once

class QWidget;

// SIGTERM, SIGHUP and SIGINT (a session ending, a service manager, Ctrl+C)
// close the window as the operator would, so the port is released and the
// program ends with status 0. The signal handler only writes a byte to a
// socket; the window is closed from the event loop.
// SIGXFSZ is ignored: a write past the file size limit fails instead.
void closeOnTerminationSignals(QWidget& window);
