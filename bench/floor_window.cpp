// The floor for bench_startup: the least a Qt Widgets program with the same
// outline as velkaro does at start. One main window with the same title and
// client area size, and a menu bar with an item and an eight-item menu. No
// style, fonts, icons, timer or serial port of its own.
//
// With --timer it also runs a 50 ms timer that nothing listens to, like the
// window's poll timer without the poll: what the wake-ups alone cost.

#include <QApplication>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Floor"));
    auto* client = new QWidget(&window);
    client->setMinimumSize(446, 264);
    window.setCentralWidget(client);
    QAction* exit = window.menuBar()->addAction(QStringLiteral("Exit"));
    QObject::connect(exit, &QAction::triggered, &app, &QApplication::quit);
    QMenu* ports = window.menuBar()->addMenu(QStringLiteral("Com Port"));
    for (int i = 1; i <= 8; ++i) {
        ports->addAction(QStringLiteral("Com%1").arg(i))->setCheckable(true);
    }
    QTimer timer;
    if (QCoreApplication::arguments().contains(QStringLiteral("--timer"))) {
        timer.start(50);
    }
    window.show();
    return QApplication::exec();
}
