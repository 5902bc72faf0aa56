#pragma once

#include "config/declarations.h"
#include "config/default.h"
#include "config/portview.h"
#include "protocol/commcontrol.h"
#include "protocol/receivelog.h"

#include <QDateTime>
#include <QMainWindow>

#include <array>
#include <functional>
#include <memory>

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QScrollBar;
class QTimer;

// The one window of the program: status line, clock group, Slots group, busy
// label and the Exit and port menus. Its handlers carry out everything the
// operator can do.
class FormCommunication : public QMainWindow, public PortView {
    Q_OBJECT

public:
    // The program's folder holds the port number file and any COMn links. The
    // window talks through the given serial control, or through the real
    // serial port when none is given.
    explicit FormCommunication(const QString& programFolder,
                               std::unique_ptr<CommControl> comm = nullptr,
                               QWidget* parent = nullptr);
    ~FormCommunication() override;

    // The classic desktop look the layout was drawn for: group box captions on
    // the frame line, square buttons. Application-wide, so call it once before
    // the window is created.
    static void applyClassicLook();

    // Where "Set PC" takes the computer's local date and time from.
    void setClock(std::function<QDateTime()> clock) { clock_ = std::move(clock); }
    // How Exit ends the program: at once, by default.
    void setEndProgram(std::function<void()> endProgram) { endProgram_ = std::move(endProgram); }

    // The bytes of the receive log, which Text2 shows.
    const QByteArray& receiveLog() const { return log_.bytes(); }
    Declarations& declarations() { return shared_; }

    // PortView
    CommControl& commControl() override { return *MSComm1; }
    void setPortLabel(const QString& text) override;
    void setPortToolTip(const QString& text) override;
    QString portToolTip() const override;
    void describePortInToolTip() override;
    void setSpeedLabel(const QString& text) override;
    void setPortChecked(int index, bool checked) override;

    // Start-up, run once before the window is first shown.
    void Form_Load();

    // The one-second pause of the command transactions. Handles no events.
    void wait1();

    void Exitm_Click();
    void Comxm_Click(int Index);
    void Command1_Click();
    void CMD13_Click();
    void Command6_Click();
    void CMDS34_Click();
    void CMD4_Click();
    void Combo1_Change();
    void VScroll1_Change();
    void Timer1_Timer();
    void Recovery_Timer();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Form_QueryUnload();
    void buildControls(QWidget* client);
    void buildMenus();
    void closePortIfOpen();
    void watchPort(Default::PortState state);
    void readFromModule(ReplyKind replyMode, const QByteArray& frame);
    void showBusy();
    void hideBusy();
    void letWindowCatchUp();
    void wakeModule();
    void appendToLog(const QByteArray& bytes);
    void showInLog(const QByteArray& bytes);
    void clearLog();
    void decodeReply();
    static QString plainToolTip(const QString& text);
    void tellPortStatus();
    QString portStatus(const QString& detail) const;
    void showPortStatus();

    Declarations shared_;
    std::unique_ptr<CommControl> MSComm1;
    std::function<QDateTime()> clock_;
    std::function<void()> endProgram_;
    ReceiveLog log_;
    int busyDepth_ = 0;
    // The port label's tooltip names the open port's device, not a reason.
    bool describesPort_ = false;
    // Why the port is "Not valid", as the tooltip shows it.
    QString portReason_;

    QLabel* Label3[2] = {};
    QLabel* LabelWait = nullptr;
    QLineEdit* TextCMD13 = nullptr;
    QLineEdit* Text3 = nullptr;
    QComboBox* Combo1 = nullptr;
    QScrollBar* VScroll1 = nullptr;
    QPlainTextEdit* Text2 = nullptr;
    QTimer* Timer1 = nullptr;
    QTimer* Recovery = nullptr;
    std::array<QAction*, 9> Comxm = {};
};
