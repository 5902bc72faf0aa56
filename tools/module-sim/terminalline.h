#pragma once

#include <QJsonObject>

#include <termios.h>

namespace ModuleSim {

// The line settings a port was configured with, as the program set them. On
// a Linux pseudo-terminal only the speed and the stop bits get through: the
// kernel always keeps 8 data bits without parity there.
struct TerminalLine {
    int speed = 0; // bits per second; 0 when not a standard rate
    int dataBits = 8;
    char parity = 'n'; // n, e, o, m (mark) or s (space)
    int stopBits = 1;

    bool operator==(const TerminalLine&) const = default;
};

// What the module runs at: 9600,n,8,2.
inline constexpr TerminalLine ModuleLine{9600, 8, 'n', 2};

TerminalLine terminalLine(const termios& attributes);

// {"event":"opened","speed":..,"data":..,"parity":"..","stop":..}
QJsonObject openedEvent(const TerminalLine& settings);

} // namespace ModuleSim
