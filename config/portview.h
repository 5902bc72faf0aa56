#pragma once

#include <QString>

class CommControl;

// What port selection needs from the main window: the serial control, the
// two status labels and the check marks of the port menu.
class PortView {
public:
    virtual ~PortView() = default;

    virtual CommControl& commControl() = 0;
    // Label3(0), beside "Com:", and its tooltip: why the port is "Not valid",
    // or which device it is while open.
    virtual void setPortLabel(const QString& text) = 0;
    virtual void setPortToolTip(const QString& text) = 0;
    virtual QString portToolTip() const = 0;
    // From now on, while the port is open, the tooltip says which device it
    // is (CommControl::deviceDescription), looked up as it is about to show.
    virtual void describePortInToolTip() = 0;
    // Label3(1), beside "Baud:".
    virtual void setSpeedLabel(const QString& text) = 0;
    // Check mark of Comxm(index), index 1 to 8.
    virtual void setPortChecked(int index, bool checked) = 0;
};
