#pragma once

#include <QImage>
#include <QList>
#include <QPoint>
#include <QRect>
#include <QString>

#include <cstdint>

struct xcb_connection_t;

// The X display the tests drive, as a person sitting at it would: it lists
// the windows on screen, takes pictures of the screen, asks a window to close
// the way a window manager does, and moves the pointer, clicks and types
// through xdotool (XTest), so the program gets real input events.
//
// No window manager runs on the test display: top-level windows are
// unframed children of the root window, placed where the program puts them.
class XDisplay {
public:
    struct Window {
        std::uint32_t id = 0;
        QRect geometry; // on the screen
        qint64 pid = 0; // _NET_WM_PID, 0 when not set
        QString title;  // _NET_WM_NAME, or WM_NAME
        // Menus and tooltips place themselves, past any window manager.
        bool overrideRedirect = false;
    };

    // Connects to $DISPLAY.
    XDisplay();
    ~XDisplay();
    XDisplay(const XDisplay&) = delete;
    XDisplay& operator=(const XDisplay&) = delete;

    bool isOpen() const { return connection_ != nullptr; }
    // Why the display cannot be used; empty when it can.
    QString error() const { return error_; }
    QSize screenSize() const { return screenSize_; }

    // The top-level windows that are viewable, bottom to top.
    QList<Window> viewableWindows() const;
    // Whether the window still exists.
    bool exists(std::uint32_t window) const;
    // Whether the window takes part in the WM_DELETE_WINDOW protocol.
    bool acceptsDeleteRequest(std::uint32_t window) const;
    // Asks the window to close, as a window manager's close box does.
    void requestClose(std::uint32_t window) const;

    // What the screen shows in `area` (clipped to the screen); a null image
    // when it cannot be read.
    QImage grab(const QRect& area) const;

    // Input through xdotool. Each returns false, with the reason in
    // lastInputError(), when xdotool fails.
    bool click(QPoint at);
    // A press and release with no pause after them, for long runs of input.
    bool clickWithoutPause(QPoint at);
    // Presses the left button at `from`, moves to `to` and releases it there.
    bool drag(QPoint from, QPoint to);
    bool movePointer(QPoint to);
    // Types with `delayMs` between the keys.
    bool typeText(const QString& text, int delayMs = 30);
    bool pressKeys(const QString& keys); // e.g. "ctrl+a", "Escape"
    QString lastInputError() const { return inputError_; }

private:
    std::uint32_t atom(const char* name) const;
    bool xdotool(const QStringList& arguments);

    xcb_connection_t* connection_ = nullptr;
    std::uint32_t root_ = 0;
    QSize screenSize_;
    QString error_;
    QString inputError_;
};
