#pragma once

#include "windowlayout.h"
#include "xdisplay.h"

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QProcess>
#include <QString>

#include <optional>

// One run of the real velkaro program on the X display: it starts the
// program, finds its window and drives it the way an operator does, with
// clicks at the controls' places and picks in the real menus. Positions are
// taken from the layout (WindowLayout) and from what is measured on the
// screen: the window's place, the menu bar's height, the menu titles and the
// items of the drop-down.
//
// Every operation returns false on failure and leaves the reason in error().
class ProgramRun {
public:
    // The program starts in `workingFolder`, which also serves as its
    // runtime folder (XDG_RUNTIME_DIR), so it must be private (mode 0700).
    ProgramRun(XDisplay& display, QString programPath, QString workingFolder);
    // A program still running is closed, or killed when it does not close.
    ~ProgramRun();
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

    // Starts the program and waits until its window is on the screen with
    // its menu bar drawn.
    bool start();
    // Keeps what the program writes to its standard error for
    // standardError() instead of passing it on; call before start().
    void captureStandardError();
    // All the program wrote to its standard error so far, when captured.
    QByteArray standardError();
    QString error() const { return error_; }
    qint64 pid() const { return process_.processId(); }
    // The program's resident memory (VmRSS) in KiB; -1 when it has ended.
    qint64 residentKiB() const;

    const XDisplay::Window& window() const { return window_; }
    int menuBarHeight() const { return menuBarHeight_; }
    // A control's rectangle on the screen.
    QRect onScreen(WindowLayout::Control control) const;

    bool click(WindowLayout::Control control);
    // Clicks into the clock field, selects what it holds and types `text`.
    bool typeIntoClockField(const QString& text);
    // Clicks into the clock field, selects what it holds and deletes it.
    bool emptyClockField();

    // "     Com Port    " then "Com<port>".
    bool pickPort(int port);
    // The ports whose items in the "     Com Port    " drop-down carry the
    // check mark; opens the drop-down and closes it again.
    bool checkedPorts(QList<int>& ports);
    // "     Exit     " on the menu bar.
    bool chooseExit();
    // Closes the window as a window manager's close box does.
    bool closeWindow();

    // Waits until the program has ended; true when it ended by itself with
    // exit code 0.
    bool waitForExit();
    bool isRunning() const { return process_.state() != QProcess::NotRunning; }

    // Pictures of the screen where the window or one of its controls stands.
    QImage grabWindow() const;
    QImage grab(WindowLayout::Control control) const;
    // Moves the pointer off the window, so that no tooltip or hover shows.
    bool parkPointer();
    // Waits until the program shows no window but its main window: no menu,
    // no tooltip.
    bool waitUntilAlone();

private:
    struct PortMenu {
        QRect geometry;      // the drop-down on the screen
        QImage picture;      // of the drop-down
        QList<QPoint> items; // rows of the eight items, within the picture
    };

    bool findWindow();
    bool measureMenuBar();
    bool openPortMenu(PortMenu& menu);
    bool closePortMenu();
    std::optional<XDisplay::Window> portMenuWindow() const;
    bool findPortMenu(PortMenu& menu) const;
    bool input(bool done);

    XDisplay& display_;
    QString programPath_;
    QString workingFolder_;
    QProcess process_;
    XDisplay::Window window_;
    int menuBarHeight_ = 0;
    QList<QPoint> menuTitles_; // columns of "Exit" and "Com Port" on the menu bar
    bool captureErrors_ = false;
    QByteArray standardError_;
    QString error_;
};
