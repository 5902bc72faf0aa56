#include "config/default.h"

#include "config/declarations.h"
#include "config/portfile.h"
#include "config/portview.h"
#include "protocol/commcontrol.h"
#include "protocol/frames.h"

#include <QString>

#include <exception>
#include <tuple>
#include <utility>

namespace Default {

namespace {

const QString NotValid = QStringLiteral("Not valid");

// "Com 3": the number in its decimal display form, with one leading blank.
QString portCaption(int port) {
    return QStringLiteral("Com %1").arg(port);
}

void markPortMenu(PortView& view, int port) {
    for (int i = 1; i <= PortMenuItems; ++i) {
        view.setPortChecked(i, i == port);
    }
}

// "Not valid" in the port label, the reason in its tooltip and one line on
// standard error.
void showNotValid(PortView& view, const QString& reason) {
    view.setPortLabel(NotValid);
    view.setPortToolTip(reason);
    qWarning("%s", qUtf8Printable(reason));
}

// What a failure says of the port: absent when its device is not there.
PortState stateAfter(const std::exception& e) {
    const auto* comm = dynamic_cast<const CommError*>(&e);
    return comm != nullptr && comm->kind() == CommError::Kind::NoDevice ? PortState::Absent
                                                                        : PortState::Refused;
}

// Runs one step of a port switch. A failure shows "Not valid" and lets the
// caller go on with its next step. Open when the step went through, else
// what its failure says about the port.
template <typename Step> PortState caught(PortView& view, Step&& step) {
    try {
        step();
        return PortState::Open;
    } catch (const std::exception& e) {
        showNotValid(view, QString::fromUtf8(e.what()));
        return stateAfter(e);
    }
}

// Closes the port, points it at the new number and opens it again, each step
// caught on its own. When reading the port state fails, the step after it
// runs regardless: the close before the switch, the open after it. While no
// step failed, the tooltip describes the port, or gives `note` when there is
// one.
PortState switchPort(PortView& view, int port, const QString& note = QString()) {
    CommControl& comm = view.commControl();
    const auto passed = [](PortState step) { return step == PortState::Open; };
    bool open = true;
    bool clean = passed(caught(view, [&] { open = comm.PortOpen(); }));
    if (open) {
        clean &= passed(caught(view, [&] { comm.setPortOpen(false); }));
    }
    clean &= passed(caught(view, [&] { comm.setCommPort(port); }));
    open = false;
    clean &= passed(caught(view, [&] { open = comm.PortOpen(); }));
    PortState state = PortState::Open;
    if (!open) {
        state = caught(view, [&] { comm.setPortOpen(true); });
        clean &= passed(state);
    }
    if (clean) {
        if (note.isEmpty())
            view.describePortInToolTip();
        else
            view.setPortToolTip(note);
    }
    return state;
}

// The configured port, and why the port number file was refused, if it was.
std::pair<int, QString> readConfiguredPort(Declarations& shared) {
    try {
        return {readPortFile(shared), QString()};
    } catch (const PortFileError& e) {
        const QString refusal = QString::fromLocal8Bit(e.what()) + QStringLiteral("; using port 1");
        qWarning("%s", qPrintable(refusal));
        return {1, refusal};
    }
}

} // namespace

PortState OpenComPort(PortView& view, Declarations& shared) {
    CommControl& comm = view.commControl();
    QString refusal;
    std::tie(shared.ComPortNumber, refusal) = readConfiguredPort(shared);
    view.setSpeedLabel(QStringLiteral("9600"));
    if (comm.PortOpen()) {
        comm.setPortOpen(false);
    }
    comm.setSettings(QString::fromLatin1(Frames::Settings));
    // A first open on the control's initial port 1 with the new settings. The
    // configured port is opened below whether or not port 1 is there.
    if (!comm.PortOpen()) {
        try {
            comm.setPortOpen(true);
        } catch (const std::exception&) {
        }
    }
    markPortMenu(view, shared.ComPortNumber);
    if (comm.PortOpen()) {
        comm.setPortOpen(false);
    }
    comm.setInputLen(1);
    view.setPortLabel(portCaption(shared.ComPortNumber));
    return switchPort(view, shared.ComPortNumber, refusal);
}

void SaveComPort(Declarations& shared) {
    shared.setComRecord(recordForPort(shared.ComPortNumber));
    writePortFile(shared);
}

PortState SelectComPort(PortView& view, Declarations& shared, int index) {
    markPortMenu(view, index);
    view.setPortLabel(portCaption(index));
    const PortState state = switchPort(view, index);
    shared.ComPortNumber = index;
    try {
        SaveComPort(shared);
    } catch (const std::exception& e) {
        // The port switch stands: say so beside the reason.
        const QString open = view.commControl().deviceDescription();
        showNotValid(view, QString::fromUtf8(e.what()) +
                               (open.isEmpty() ? QString() : QStringLiteral("; ") + open));
    }
    return state;
}

PortState RecoverComPort(PortView& view, const Declarations& shared) {
    try {
        view.commControl().setPortOpen(true);
    } catch (const std::exception& e) {
        const QString reason = QString::fromUtf8(e.what());
        if (reason != view.portToolTip()) {
            showNotValid(view, reason);
        }
        return stateAfter(e);
    }
    view.setPortLabel(portCaption(shared.ComPortNumber));
    view.describePortInToolTip();
    return PortState::Open;
}

void PortLost(PortView& view, const QString& reason) {
    showNotValid(view, reason);
}

} // namespace Default
