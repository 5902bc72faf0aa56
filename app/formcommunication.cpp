#include "app/formcommunication.h"

#include "app/accessibility.h"
#include "app/twips.h"
#include "config/default.h"
#include "protocol/frames.h"
#include "protocol/portcontrol.h"
#include "protocol/replies.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QStyleFactory>
#include <QStyleOptionFocusRect>
#include <QStylePainter>
#include <QTextCursor>
#include <QTimer>
#include <QToolButton>
#include <QValidator>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

// The layout was drawn for the old Windows default font; these are the
// closest metrics a Linux desktop has.
QFont windowFont(double pointSize, bool bold = false) {
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("Arimo"), QStringLiteral("DejaVu Sans")});
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    return font;
}

QFont logFont() {
    QFont font;
    font.setFamilies({QStringLiteral("Courier New"), QStringLiteral("Liberation Mono"),
                      QStringLiteral("Cousine"), QStringLiteral("DejaVu Sans Mono")});
    font.setPointSizeF(10.5);
    return font;
}

template <typename Widget> Widget* place(Widget* widget, const char* name, const QRect& geometry) {
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(geometry);
    return widget;
}

QLabel* label(QWidget* parent, const char* name, const QString& caption, const QRect& geometry,
              Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignTop) {
    auto* widget = place(new QLabel(caption, parent), name, geometry);
    widget->setAlignment(alignment);
    return widget;
}

QLabel* statusLabel(QWidget* parent, const char* name, const QRect& geometry) {
    auto* widget = label(parent, name, QString(), geometry, Qt::AlignCenter);
    widget->setFrameStyle(QFrame::Box | QFrame::Plain);
    widget->setAutoFillBackground(true);
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, Qt::white);
    palette.setColor(QPalette::WindowText, Qt::black);
    widget->setPalette(palette);
    return widget;
}

// A picture of the resources: drawn in SVG, or rendered from it at build time
// where the toolkit has no SVG (see app/CMakeLists.txt).
QString artwork(const char* name) {
    return QStringLiteral(":/%1.%2").arg(QLatin1String(name),
                                         QLatin1String(VELKARO_PICTURE_FORMAT));
}

// A picture button that Return and keypad Enter press as Space does, as a
// focused command button on the desktop the layout was drawn for.
class CommandButton : public QToolButton {
public:
    using QToolButton::QToolButton;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
        const Qt::KeyboardModifiers other = event->modifiers() & ~Qt::KeypadModifier;
        if (enter && other == Qt::NoModifier) {
            if (!event->isAutoRepeat())
                click();
            return;
        }
        QToolButton::keyPressEvent(event);
    }
};

// A control that draws the classic dotted focus rectangle while it has the
// focus, where the style itself shows none or a faint one (a read-only field,
// a scroll bar).
template <typename Widget> class FocusMarked : public Widget {
public:
    using Widget::Widget;

protected:
    void paintEvent(QPaintEvent* event) override {
        Widget::paintEvent(event);
        if (this->hasFocus()) {
            QStylePainter painter(this);
            QStyleOptionFocusRect mark;
            mark.initFrom(this);
            mark.rect = this->rect().adjusted(1, 1, -1, -1);
            painter.drawPrimitive(QStyle::PE_FrameFocusRect, mark);
        }
    }
};

QToolButton* button(QWidget* parent, const char* name, const QString& caption,
                    const QString& picture, const QRect& geometry,
                    const QString& toolTip = QString()) {
    auto* widget = place(new CommandButton(parent), name, geometry);
    widget->setText(caption);
    widget->setIcon(QIcon(picture));
    widget->setIconSize(QSize(32, 32));
    widget->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    widget->setFocusPolicy(Qt::StrongFocus);
    widget->setToolTip(toolTip);
    return widget;
}

QGroupBox* group(QWidget* parent, const char* name, const QString& caption, const QRect& geometry) {
    return place(new QGroupBox(caption, parent), name, geometry);
}

QPlainTextEdit* logBox(QWidget* parent, const char* name, const QRect& geometry) {
    auto* widget = place(new QPlainTextEdit(parent), name, geometry);
    widget->setFont(logFont());
    widget->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    return widget;
}

// The clock text goes to the module one byte per character, so the field
// takes only characters that have one (Latin-1); anything else typed or
// pasted is dropped, and what the operator sees is what is sent.
class OneByteCharacters : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int& position) const override {
        for (qsizetype i = input.size() - 1; i >= 0; --i) {
            if (input[i].unicode() > 0xFF) {
                input.remove(i, 1);
                if (i < position) {
                    --position;
                }
            }
        }
        return Acceptable;
    }
};

void endAtOnce() {
    std::fflush(nullptr);
    std::_Exit(EXIT_SUCCESS);
}

} // namespace

FormCommunication::FormCommunication(const QString& programFolder,
                                     std::unique_ptr<CommControl> comm, QWidget* parent)
    : QMainWindow(parent), shared_(programFolder), MSComm1(std::move(comm)),
      clock_([] { return QDateTime::currentDateTime(); }), endProgram_(endAtOnce) {
    Q_INIT_RESOURCE(resources);
    if (!MSComm1) {
        MSComm1 = std::make_unique<PortControl>(programFolder);
    }
    setObjectName(QStringLiteral("FormCommunication"));
    setWindowTitle(QStringLiteral("Velkaro"));
    // The icon as one ready picture: drawing it at each size the window
    // system takes would cost start-up a few milliseconds.
    setWindowIcon(QIcon(QStringLiteral(":/velkaro.png")));
    setFont(windowFont(8));

    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setMinimumSize(twips(6690), twips(3960));
    setCentralWidget(client);
    buildControls(client);
    buildMenus();
    auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(help, &QShortcut::activated, this, &FormCommunication::showPortStatus);
    resize(minimumSizeHint());
    if (const QScreen* screen = this->screen()) {
        move(screen->availableGeometry().center() - rect().center());
    }

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(50);
    connect(Timer1, &QTimer::timeout, this, &FormCommunication::Timer1_Timer);
    Timer1->start();

    // Not part of the window the operator sees: while the configured port's
    // device is absent, Recovery looks once a second whether it is back.
    Recovery = new QTimer(this);
    Recovery->setInterval(1000);
    connect(Recovery, &QTimer::timeout, this, &FormCommunication::Recovery_Timer);
    // A device that has gone is looked for again; a line that stalled with
    // its device present stays "Not valid" until the operator picks a port.
    MSComm1->setLostHandler([this](const QString& reason, CommError::Kind kind) {
        Default::PortLost(*this, reason);
        if (kind == CommError::Kind::NoDevice)
            Recovery->start();
    });
}

FormCommunication::~FormCommunication() = default;

void FormCommunication::applyClassicLook() {
    if (QStyle* classic = QStyleFactory::create(QStringLiteral("Windows"))) {
        QApplication::setStyle(classic);
    }
}

void FormCommunication::buildControls(QWidget* client) {
    label(client, "Label8(0)", QStringLiteral("Com:"), twipsRect(2760, 135, 495, 255));
    Label3[0] = statusLabel(client, "Label3(0)", twipsRect(3270, 120, 1215, 300));
    Label3[0]->installEventFilter(this);
    Label3[0]->setAccessibleName(QStringLiteral("Port"));
    label(client, "Label8(1)", QStringLiteral("Baud:"), twipsRect(4740, 135, 495, 255));
    Label3[1] = statusLabel(client, "Label3(1)", twipsRect(5340, 120, 1215, 300));
    Label3[1]->setAccessibleName(QStringLiteral("Speed"));

    QGroupBox* Frame4 =
        group(client, "Frame4", QStringLiteral(" Time "), twipsRect(120, 480, 6495, 1335));
    const QString clockLayout = QStringLiteral("yy/mm/dd hh:mm:ss");
    label(Frame4, "Label11", clockLayout, twipsRect(480, 480, 1815, 255),
          Qt::AlignHCenter | Qt::AlignTop);
    TextCMD13 = place(new QLineEdit(Frame4), "TextCMD13", twipsRect(600, 720, 1575, 285));
    TextCMD13->setMaxLength(17);
    TextCMD13->setValidator(new OneByteCharacters(TextCMD13));
    TextCMD13->setAccessibleName(QStringLiteral("Module clock"));
    TextCMD13->setAccessibleDescription(clockLayout);
    auto* CMD4 = button(Frame4, "CMD4", QStringLiteral("Set PC"), artwork("setpc"),
                        twipsRect(3240, 360, 855, 855));
    auto* Command1 = button(Frame4, "Command1", QStringLiteral("Read from"), artwork("read"),
                            twipsRect(4440, 360, 855, 855), QStringLiteral("Read from Module"));
    auto* CMD13 = button(Frame4, "CMD13", QStringLiteral("Set into"), artwork("set"),
                         twipsRect(5400, 360, 855, 855), QStringLiteral("Set into Module"));
    CMD4->setAccessibleName(QStringLiteral("Fill in the computer's date and time"));
    Command1->setAccessibleName(QStringLiteral("Read the clock from the module"));
    CMD13->setAccessibleName(QStringLiteral("Set the module's clock"));

    QGroupBox* Frame6 =
        group(client, "Frame6", QStringLiteral("Slots"), twipsRect(120, 1920, 6495, 1455));
    QLabel* Label1 = label(Frame6, "Label1", QStringLiteral("Rate"), twipsRect(480, 480, 735, 255));
    Combo1 = place(new QComboBox(Frame6), "Combo1", twipsRect(480, 720, 1455, 315));
    Combo1->setEditable(true);
    Combo1->setInsertPolicy(QComboBox::NoInsert);
    for (const char* rate : Frames::RateTexts) {
        Combo1->addItem(QString::fromLatin1(rate));
    }
    // Like the list it was drawn with: typed text is not completed.
    Combo1->setCompleter(nullptr);
    Combo1->setCurrentIndex(-1);
    Combo1->setEditText(QStringLiteral(" "));
    // Where a combo box's name is its text (Linux), the label it stands with
    // names it.
    Combo1->setAccessibleName(QStringLiteral("Rate"));
    Label1->setBuddy(Combo1);
    label(Frame6, "Label4(3)", QStringLiteral("Time ON (sec)"), twipsRect(2160, 480, 1335, 255),
          Qt::AlignHCenter | Qt::AlignTop);
    const QString onTime = QStringLiteral("On-time in seconds");
    Text3 = place(new FocusMarked<QLineEdit>(Frame6), "Text3", twipsRect(2400, 720, 732, 345));
    Text3->setAccessibleName(onTime);
    Text3->setReadOnly(true);
    Text3->setAlignment(Qt::AlignCenter);
    // As on the desktop it was drawn for: 1 at the top, 240 at the bottom.
    VScroll1 = place(new FocusMarked<QScrollBar>(Qt::Vertical, Frame6), "VScroll1",
                     twipsRect(3480, 240, 252, 975));
    VScroll1->setAccessibleName(onTime);
    VScroll1->setRange(Frames::MinOnTime, Frames::MaxOnTime);
    VScroll1->setSingleStep(1);
    VScroll1->setPageStep(10);
    VScroll1->setValue(Frames::MaxOnTime);
    VScroll1->setTracking(false);
    VScroll1->setFocusPolicy(Qt::StrongFocus);
    auto* Command6 = button(Frame6, "Command6", QStringLiteral("Read from"), artwork("read"),
                            twipsRect(4440, 360, 855, 855));
    auto* CMDS34 = button(Frame6, "CMDS34", QStringLiteral("Set into"), artwork("set"),
                          twipsRect(5400, 360, 855, 855));
    Command6->setAccessibleName(QStringLiteral("Read the schedule from the module"));
    CMDS34->setAccessibleName(QStringLiteral("Set the module's schedule"));

    LabelWait = label(client, "LabelWait", QStringLiteral("WAIT..."),
                      twipsRect(120, 3480, 6495, 375), Qt::AlignCenter);
    LabelWait->setFont(windowFont(12, true));
    LabelWait->setAutoFillBackground(true);
    QPalette busy = LabelWait->palette();
    busy.setColor(QPalette::Window, QColor(255, 0, 0));
    busy.setColor(QPalette::WindowText, Qt::black);
    LabelWait->setPalette(busy);
    LabelWait->hide();

    // The transmit and receive groups stand right of the client area and are
    // never shown; the receive log lives in Text2.
    QGroupBox* Frame5 =
        group(client, "Frame5", QStringLiteral("Tx"), twipsRect(6840, 120, 5052, 1695));
    auto* Text1 = logBox(Frame5, "Text1", twipsRect(120, 240, 3855, 1305));
    auto* ClearTx = button(Frame5, "ClearTx", QStringLiteral("Clear"), artwork("clear"),
                           twipsRect(4080, 720, 855, 855), QStringLiteral("Clear Tx text"));
    Frame5->hide();
    QGroupBox* Frame2 =
        group(client, "Frame2", QStringLiteral("Rx"), twipsRect(6840, 1920, 5052, 1935));
    Text2 = logBox(Frame2, "Text2", twipsRect(120, 240, 3855, 1545));
    Text2->setReadOnly(true);
    QPalette white = Text2->palette();
    white.setColor(QPalette::Base, Qt::white);
    Text2->setPalette(white);
    auto* ClearRx = button(Frame2, "ClearRx", QStringLiteral("Clear"), artwork("clear"),
                           twipsRect(4080, 960, 855, 855), QStringLiteral("Clear Rx text"));
    Frame2->hide();
    Accessibility::leaveHiddenChildrenOut(client);

    // Keyboard focus order of the controls that take the focus.
    QWidget* const order[] = {CMD13,    CMD4,      Command1, CMDS34,  Command6, Combo1, Text3,
                              VScroll1, TextCMD13, Text2,    ClearRx, Text1,    ClearTx};
    for (std::size_t i = 1; i < std::size(order); ++i) {
        setTabOrder(order[i - 1], order[i]);
    }
    CMD13->setFocus();

    connect(CMD4, &QToolButton::clicked, this, &FormCommunication::CMD4_Click);
    connect(Command1, &QToolButton::clicked, this, &FormCommunication::Command1_Click);
    connect(CMD13, &QToolButton::clicked, this, &FormCommunication::CMD13_Click);
    connect(Command6, &QToolButton::clicked, this, &FormCommunication::Command6_Click);
    connect(CMDS34, &QToolButton::clicked, this, &FormCommunication::CMDS34_Click);
    connect(VScroll1, &QScrollBar::valueChanged, this, &FormCommunication::VScroll1_Change);
    connect(Combo1->lineEdit(), &QLineEdit::textEdited, this, &FormCommunication::Combo1_Change);
}

void FormCommunication::buildMenus() {
    QAction* Exitm = menuBar()->addAction(QStringLiteral("     Exit     "));
    Exitm->setObjectName(QStringLiteral("Exitm"));
    Accessibility::nameMenuBarItem(Exitm, QStringLiteral("Exit"));
    connect(Exitm, &QAction::triggered, this, &FormCommunication::Exitm_Click);

    QMenu* Com = menuBar()->addMenu(QStringLiteral("     Com Port    "));
    Com->setObjectName(QStringLiteral("Com"));
    Accessibility::nameMenuBarItem(Com->menuAction(), QStringLiteral("Com Port"));
    for (int i = 1; i <= Default::PortMenuItems; ++i) {
        Comxm[i] = Com->addAction(QStringLiteral("Com%1").arg(i));
        Comxm[i]->setObjectName(QStringLiteral("Comxm(%1)").arg(i));
        Comxm[i]->setCheckable(true);
        connect(Comxm[i], &QAction::triggered, this, [this, i] { Comxm_Click(i); });
    }
}

void FormCommunication::setPortLabel(const QString& text) {
    Label3[0]->setText(text);
    tellPortStatus();
}

void FormCommunication::setPortToolTip(const QString& text) {
    describesPort_ = false;
    portReason_ = text;
    Label3[0]->setToolTip(plainToolTip(text));
    tellPortStatus();
}

void FormCommunication::describePortInToolTip() {
    describesPort_ = true;
    portReason_.clear();
    Label3[0]->setToolTip(QString());
    tellPortStatus();
}

// The device's description is looked up only now: for a USB adapter that
// walks every serial device of the system, too slow for start-up.
bool FormCommunication::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Label3[0] && event->type() == QEvent::ToolTip && describesPort_) {
        Label3[0]->setToolTip(plainToolTip(MSComm1->deviceDescription()));
    }
    return QMainWindow::eventFilter(watched, event);
}

QString FormCommunication::portToolTip() const {
    return portReason_;
}

// Reasons name files, devices and processes that others may name: a tooltip
// that looks like markup would be shown as markup, so it is always escaped.
QString FormCommunication::plainToolTip(const QString& text) {
    return text.isEmpty() ? QString() : Qt::convertFromPlainText(text, Qt::WhiteSpacePre);
}

// The port label takes no focus, so a screen reader hears its state and
// reason as the label's description, which the toolkit announces as it
// changes.
void FormCommunication::tellPortStatus() {
    Label3[0]->setAccessibleDescription(portStatus(portReason_));
}

// The port label's text and what its tooltip says: "Not valid" and why.
QString FormCommunication::portStatus(const QString& detail) const {
    return detail.isEmpty() ? Label3[0]->text() : Label3[0]->text() + QStringLiteral(": ") + detail;
}

// The tooltip's text for the keyboard: F1 anywhere in the window. The open
// port's device is looked up only now, as for the tooltip.
void FormCommunication::showPortStatus() {
    const QString detail = describesPort_ ? MSComm1->deviceDescription() : portReason_;
    QMessageBox box(QMessageBox::Information, windowTitle(), portStatus(detail), QMessageBox::Ok,
                    this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void FormCommunication::setSpeedLabel(const QString& text) {
    Label3[1]->setText(text);
}

void FormCommunication::setPortChecked(int index, bool checked) {
    Comxm[index]->setChecked(checked);
}

// --- Start-up and shutdown --------------------------------------------------

void FormCommunication::Form_Load() {
    watchPort(Default::OpenComPort(*this, shared_));
}

void FormCommunication::Exitm_Click() {
    closePortIfOpen();
    endProgram_();
}

void FormCommunication::closeEvent(QCloseEvent* event) {
    Form_QueryUnload();
    event->accept();
}

void FormCommunication::Form_QueryUnload() {
    closePortIfOpen();
}

void FormCommunication::closePortIfOpen() {
    try {
        if (MSComm1->PortOpen()) {
            MSComm1->setPortOpen(false);
        }
    } catch (const std::exception& e) {
        qWarning("closing the port failed: %s", e.what());
    }
}

// --- Port menu --------------------------------------------------------------

void FormCommunication::Comxm_Click(int Index) {
    watchPort(Default::SelectComPort(*this, shared_, Index));
}

// Only a device that is absent is looked for again; a port refused for any
// other reason (in use, permission denied, ...) waits for the operator. The
// open port needs no watching of its own: the control reports a device that
// goes away.
void FormCommunication::watchPort(Default::PortState state) {
    if (state == Default::PortState::Absent) {
        Recovery->start();
    } else {
        Recovery->stop();
    }
}

void FormCommunication::Recovery_Timer() {
    watchPort(Default::RecoverComPort(*this, shared_));
}

// --- Command transactions ---------------------------------------------------

void FormCommunication::Command1_Click() {
    readFromModule(ReplyKind::Clock, Frames::clockRead());
}

void FormCommunication::Command6_Click() {
    readFromModule(ReplyKind::Schedule, Frames::scheduleRead());
}

void FormCommunication::readFromModule(ReplyKind replyMode, const QByteArray& frame) {
    showBusy();
    letWindowCatchUp();
    shared_.ReplyMode = replyMode;
    wakeModule();
    clearLog();
    MSComm1->Output(frame);
    hideBusy();
}

void FormCommunication::CMD13_Click() {
    showBusy();
    letWindowCatchUp();
    wakeModule();
    MSComm1->Output(Frames::clockSet(TextCMD13->text().toLatin1()));
    appendToLog(QByteArray() + Frames::CR + Frames::LF);
    hideBusy();
}

void FormCommunication::CMDS34_Click() {
    showBusy();
    letWindowCatchUp();
    wakeModule();
    const int rateIndex = Combo1->currentIndex();
    if (rateIndex == -1) {
        Combo1->setCurrentIndex(0);
    }
    const int onTime = VScroll1->value();
    if (onTime == Frames::MaxOnTime) {
        VScroll1->setValue(Frames::MaxOnTime);
        Text3->setText(QString::number(Frames::MaxOnTime));
    }
    MSComm1->Output(Frames::scheduleSet(Frames::rateCode(rateIndex), Frames::onTimeCode(onTime)));
    hideBusy();
}

// A click handled in the event pass runs its own transaction inside this one;
// the label stays up until the outermost transaction is done.
void FormCommunication::showBusy() {
    ++busyDepth_;
    LabelWait->show();
}

void FormCommunication::hideBusy() {
    if (--busyDepth_ == 0) {
        LabelWait->hide();
    }
}

// The wake byte alone, then the pause the module needs to start listening.
void FormCommunication::wakeModule() {
    MSComm1->Output(Frames::wake());
    wait1();
}

// Handles what is pending once, so that the busy label gets painted.
void FormCommunication::letWindowCatchUp() {
    QCoreApplication::processEvents();
}

// Blocks the thread for one second of a monotonic clock: no events are
// handled, the poller does not tick and the window is not repainted.
void FormCommunication::wait1() {
    const auto end = std::chrono::steady_clock::now() + Frames::WakePause;
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_until(end);
    }
}

// --- Window-only handlers ---------------------------------------------------

// Date and time come from one reading of the clock, so that a click at
// midnight cannot join one day's date to the next day's time.
void FormCommunication::CMD4_Click() {
    TextCMD13->setText(clock_().toString(QLatin1String(Frames::ClockFormat)));
}

// Typed text selects the entry it equals, and otherwise none, so that "Set
// into" never sends an entry the box no longer shows.
void FormCommunication::Combo1_Change() {
    const QString typed = Combo1->currentText();
    const int entry = Combo1->findText(typed, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (entry != Combo1->currentIndex()) {
        const int cursor = Combo1->lineEdit()->cursorPosition();
        Combo1->setCurrentIndex(entry);
        Combo1->setEditText(typed);
        Combo1->lineEdit()->setCursorPosition(cursor);
    }
}

void FormCommunication::VScroll1_Change() {
    Text3->setText(QStringLiteral(" %1").arg(VScroll1->value()));
}

// --- Receive poller ---------------------------------------------------------

void FormCommunication::Timer1_Timer() {
    const int waiting = MSComm1->InBufferCount();
    if (waiting <= 0) {
        return;
    }
    // Text2 is brought up to date once per tick; the decoders read the log.
    QByteArray kept;
    for (int i = 0; i < waiting; ++i) {
        const QByteArray character = MSComm1->Input();
        kept += log_.append(character);
        if (character == QByteArray(1, Frames::CR)) {
            kept += log_.append(QByteArray(1, Frames::LF));
            decodeReply();
        }
    }
    showInLog(kept);
}

void FormCommunication::decodeReply() {
    if (shared_.ReplyMode == ReplyKind::Clock) {
        TextCMD13->setText(QString::fromLatin1(Replies::clockText(log_.bytes())));
    } else if (shared_.ReplyMode == ReplyKind::Schedule) {
        const Replies::Schedule schedule = Replies::schedule(log_.bytes());
        // Digits 7 to 9 name no entry: the selection stays.
        if (schedule.rateDigit < Combo1->count()) {
            Combo1->setCurrentIndex(schedule.rateDigit);
        }
        if (schedule.onTime) {
            Text3->setText(QStringLiteral(" %1").arg(*schedule.onTime));
            VScroll1->setValue(*schedule.onTime);
        } else {
            Text3->setText(QStringLiteral("---"));
        }
    }
}

void FormCommunication::appendToLog(const QByteArray& bytes) {
    showInLog(log_.append(bytes));
}

void FormCommunication::showInLog(const QByteArray& bytes) {
    if (!bytes.isEmpty()) {
        QTextCursor end(Text2->document());
        end.movePosition(QTextCursor::End);
        end.insertText(QString::fromLatin1(bytes));
    }
}

void FormCommunication::clearLog() {
    log_.clear();
    Text2->clear();
}
