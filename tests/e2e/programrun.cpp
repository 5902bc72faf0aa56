#include "programrun.h"

#include "polling.h"
#include "screenpixels.h"

#include <QFile>
#include <QProcessEnvironment>

#include <algorithm>
#include <cstdlib>

using WindowLayout::Control;

namespace {

constexpr int PortMenuItems = 8;
constexpr int CloseTimeoutMs = 5000;
const QString WindowTitle = QStringLiteral("Velkaro");

int middle(QPoint run) {
    return (run.x() + run.y()) / 2;
}

} // namespace

ProgramRun::ProgramRun(XDisplay& display, QString programPath, QString workingFolder)
    : display_(display), programPath_(std::move(programPath)),
      workingFolder_(std::move(workingFolder)) {}

// Closing the window ends the program the ordinary way; only one that does
// not react is killed.
ProgramRun::~ProgramRun() {
    if (!isRunning()) {
        return;
    }
    if (window_.id != 0 && display_.exists(window_.id)) {
        display_.requestClose(window_.id);
        if (process_.waitForFinished(CloseTimeoutMs)) {
            return;
        }
    }
    process_.kill();
    process_.waitForFinished();
}

bool ProgramRun::start() {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), workingFolder_);
    process_.setProcessEnvironment(environment);
    process_.setWorkingDirectory(workingFolder_);
    process_.setProcessChannelMode(captureErrors_ ? QProcess::ForwardedOutputChannel
                                                  : QProcess::ForwardedChannels);
    // No tooltip from a control that happens to open under the pointer.
    if (!parkPointer()) {
        return false;
    }
    process_.start(programPath_, QStringList());
    if (!process_.waitForStarted(Polling::WindowTimeoutMs)) {
        error_ = QStringLiteral("%1 did not start: %2").arg(programPath_, process_.errorString());
        return false;
    }
    return findWindow() && measureMenuBar();
}

void ProgramRun::captureStandardError() {
    captureErrors_ = true;
}

QByteArray ProgramRun::standardError() {
    standardError_ += process_.readAllStandardError();
    return standardError_;
}

qint64 ProgramRun::residentKiB() const {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid()));
    if (pid() <= 0 || !status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).simplified().split(' ').constFirst().toLongLong();
        }
    }
    return -1;
}

bool ProgramRun::findWindow() {
    const bool found = Polling::waitUntil(
        [this] {
            for (const XDisplay::Window& window : display_.viewableWindows()) {
                if (window.pid == pid() && !window.overrideRedirect &&
                    window.title == WindowTitle) {
                    window_ = window;
                    return true;
                }
            }
            return !isRunning();
        },
        Polling::WindowTimeoutMs);
    if (!found || window_.id == 0) {
        error_ = isRunning() ? QStringLiteral("no window titled \"Velkaro\" showed up")
                             : QStringLiteral("the program ended before its window showed up "
                                              "(exit code %1)")
                                   .arg(process_.exitCode());
        return false;
    }
    // The window is the client area with the menu bar above it; without a
    // window manager it has no frame.
    menuBarHeight_ = window_.geometry.height() - WindowLayout::ClientHeight;
    if (window_.geometry.width() < WindowLayout::ClientWidth || menuBarHeight_ <= 0 ||
        menuBarHeight_ > WindowLayout::ClientHeight / 2) {
        error_ = QStringLiteral("the window is %1x%2 pixels, which leaves no %3x%4 client area "
                                "under a menu bar")
                     .arg(window_.geometry.width())
                     .arg(window_.geometry.height())
                     .arg(WindowLayout::ClientWidth)
                     .arg(WindowLayout::ClientHeight);
        return false;
    }
    return true;
}

// The menu titles are the two runs of ink on the menu bar: "Exit", and
// "Com Port", whose two words stand closer together than the titles do.
bool ProgramRun::measureMenuBar() {
    const QRect bar(window_.geometry.topLeft(), QSize(window_.geometry.width(), menuBarHeight_));
    const bool found = Polling::waitUntil(
        [&] {
            const QImage picture = display_.grab(bar);
            menuTitles_ = ScreenPixels::inkColumns(picture, picture.rect().adjusted(2, 2, -2, -2),
                                                   menuBarHeight_ / 2);
            return menuTitles_.size() == 2;
        },
        Polling::ScreenTimeoutMs);
    if (!found) {
        error_ = QStringLiteral("the menu bar does not show two titles (found %1 runs of text)")
                     .arg(menuTitles_.size());
    }
    return found;
}

QRect ProgramRun::onScreen(Control control) const {
    return WindowLayout::rect(control).translated(window_.geometry.topLeft() +
                                                  QPoint(0, menuBarHeight_));
}

bool ProgramRun::input(bool done) {
    if (!done) {
        error_ = display_.lastInputError();
    }
    return done;
}

bool ProgramRun::click(Control control) {
    return input(display_.click(onScreen(control).center()));
}

bool ProgramRun::typeIntoClockField(const QString& text) {
    return click(Control::TextCMD13) && input(display_.pressKeys(QStringLiteral("ctrl+a"))) &&
           input(display_.typeText(text));
}

bool ProgramRun::emptyClockField() {
    return click(Control::TextCMD13) && input(display_.pressKeys(QStringLiteral("ctrl+a"))) &&
           input(display_.pressKeys(QStringLiteral("BackSpace")));
}

// The drop-down places itself right under its title on the menu bar. (Its
// window type cannot tell it: the toolkit marks only the first drop-down it
// makes as a menu.)
std::optional<XDisplay::Window> ProgramRun::portMenuWindow() const {
    const int titleFirst = window_.geometry.left() + menuTitles_.at(1).x();
    const int titleLast = window_.geometry.left() + menuTitles_.at(1).y();
    const int barBottom = window_.geometry.top() + menuBarHeight_;
    for (const XDisplay::Window& window : display_.viewableWindows()) {
        if (window.pid == pid() && window.overrideRedirect &&
            std::abs(window.geometry.top() - barBottom) <= 4 &&
            window.geometry.left() <= titleLast && window.geometry.right() >= titleFirst) {
            return window;
        }
    }
    return std::nullopt;
}

bool ProgramRun::findPortMenu(PortMenu& menu) const {
    const std::optional<XDisplay::Window> window = portMenuWindow();
    if (!window) {
        return false;
    }
    menu.geometry = window->geometry;
    menu.picture = display_.grab(window->geometry);
    // Inside the drop-down's frame, each item is one run of ink rows.
    menu.items = ScreenPixels::inkRows(menu.picture, menu.picture.rect().adjusted(4, 3, -4, -3), 2);
    return menu.items.size() == PortMenuItems;
}

bool ProgramRun::openPortMenu(PortMenu& menu) {
    const QPoint title =
        window_.geometry.topLeft() + QPoint(middle(menuTitles_.at(1)), menuBarHeight_ / 2);
    if (!input(display_.click(title))) {
        return false;
    }
    if (!Polling::waitUntil([&] { return findPortMenu(menu); }, Polling::ScreenTimeoutMs)) {
        error_ = QStringLiteral("no drop-down with %1 items showed under \"Com Port\" (%2 rows)")
                     .arg(PortMenuItems)
                     .arg(menu.items.size());
        return false;
    }
    return true;
}

bool ProgramRun::closePortMenu() {
    if (!portMenuWindow()) {
        return true;
    }
    // A click beside the drop-down closes it; this spot of the client area,
    // right of the speed label, holds no control.
    const QPoint empty =
        window_.geometry.topLeft() + QPoint(WindowLayout::ClientWidth - 3, menuBarHeight_ + 2);
    if (!input(display_.click(empty))) {
        return false;
    }
    if (!Polling::waitUntil([this] { return !portMenuWindow(); }, Polling::ScreenTimeoutMs)) {
        error_ = QStringLiteral("the \"Com Port\" drop-down stayed open");
        return false;
    }
    return true;
}

bool ProgramRun::pickPort(int port) {
    PortMenu menu;
    if (port < 1 || port > PortMenuItems || !openPortMenu(menu)) {
        return false;
    }
    const QPoint item = menu.geometry.topLeft() +
                        QPoint(menu.geometry.width() / 2, middle(menu.items.at(port - 1)));
    if (!input(display_.click(item))) {
        return false;
    }
    if (!Polling::waitUntil([this] { return !portMenuWindow(); }, Polling::ScreenTimeoutMs)) {
        error_ = QStringLiteral("the \"Com Port\" drop-down stayed open after the pick");
        return false;
    }
    return true;
}

// The items' texts start in one column; a check mark stands left of it.
bool ProgramRun::checkedPorts(QList<int>& ports) {
    PortMenu menu;
    if (!openPortMenu(menu)) {
        return false;
    }
    QList<int> starts;
    for (const QPoint& row : std::as_const(menu.items)) {
        const QRect band(4, row.x(), menu.picture.width() - 8, row.y() - row.x() + 1);
        const QList<QPoint> columns = ScreenPixels::inkColumns(menu.picture, band, 0);
        starts.append(columns.isEmpty() ? band.right() : columns.constFirst().x());
    }
    QList<int> sorted = starts;
    std::sort(sorted.begin(), sorted.end());
    const int textColumn = sorted.at(sorted.size() / 2);
    ports.clear();
    for (int i = 0; i < int(starts.size()); ++i) {
        if (starts.at(i) < textColumn - 3) {
            ports.append(i + 1);
        }
    }
    return closePortMenu();
}

bool ProgramRun::chooseExit() {
    const QPoint title =
        window_.geometry.topLeft() + QPoint(middle(menuTitles_.at(0)), menuBarHeight_ / 2);
    return input(display_.click(title));
}

bool ProgramRun::closeWindow() {
    if (!display_.acceptsDeleteRequest(window_.id)) {
        error_ = QStringLiteral("the window does not take part in WM_DELETE_WINDOW");
        return false;
    }
    display_.requestClose(window_.id);
    return true;
}

bool ProgramRun::waitForExit() {
    if (!process_.waitForFinished(Polling::ExitTimeoutMs) && isRunning()) {
        error_ = QStringLiteral("the program is still running");
        return false;
    }
    if (process_.exitStatus() != QProcess::NormalExit || process_.exitCode() != 0) {
        error_ =
            QStringLiteral("the program ended abnormally (exit code %1)").arg(process_.exitCode());
        return false;
    }
    return true;
}

bool ProgramRun::waitUntilAlone() {
    const bool alone = Polling::waitUntil(
        [this] {
            const QList<XDisplay::Window> windows = display_.viewableWindows();
            return std::none_of(windows.cbegin(), windows.cend(),
                                [this](const XDisplay::Window& window) {
                                    return window.pid == pid() && window.id != window_.id;
                                });
        },
        Polling::ScreenTimeoutMs);
    if (!alone) {
        error_ = QStringLiteral("a menu or tooltip of the program stays on the screen");
    }
    return alone;
}

QImage ProgramRun::grabWindow() const {
    return display_.grab(window_.geometry);
}

QImage ProgramRun::grab(Control control) const {
    return display_.grab(onScreen(control));
}

bool ProgramRun::parkPointer() {
    const QSize screen = display_.screenSize();
    return input(display_.movePointer(QPoint(screen.width() - 1, screen.height() - 1)));
}
