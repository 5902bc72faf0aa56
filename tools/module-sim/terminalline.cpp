#include "terminalline.h"

#include <QString>

#include <array>
#include <utility>

namespace ModuleSim {

namespace {

int bitsPerSecond(speed_t code) {
    static constexpr std::array<std::pair<speed_t, int>, 31> rates{{
        {B0, 0},
        {B50, 50},
        {B75, 75},
        {B110, 110},
        {B134, 134},
        {B150, 150},
        {B200, 200},
        {B300, 300},
        {B600, 600},
        {B1200, 1200},
        {B1800, 1800},
        {B2400, 2400},
        {B4800, 4800},
        {B9600, 9600},
        {B19200, 19200},
        {B38400, 38400},
        {B57600, 57600},
        {B115200, 115200},
        {B230400, 230400},
        {B460800, 460800},
        {B500000, 500000},
        {B576000, 576000},
        {B921600, 921600},
        {B1000000, 1000000},
        {B1152000, 1152000},
        {B1500000, 1500000},
        {B2000000, 2000000},
        {B2500000, 2500000},
        {B3000000, 3000000},
        {B3500000, 3500000},
        {B4000000, 4000000},
    }};
    for (const auto& [rateCode, rate] : rates) {
        if (rateCode == code) {
            return rate;
        }
    }
    return 0;
}

} // namespace

TerminalLine terminalLine(const termios& attributes) {
    TerminalLine settings;
    settings.speed = bitsPerSecond(cfgetospeed(&attributes));
    switch (attributes.c_cflag & CSIZE) {
    case CS5:
        settings.dataBits = 5;
        break;
    case CS6:
        settings.dataBits = 6;
        break;
    case CS7:
        settings.dataBits = 7;
        break;
    default:
        settings.dataBits = 8;
        break;
    }
    if ((attributes.c_cflag & PARENB) == 0) {
        settings.parity = 'n';
    } else if ((attributes.c_cflag & CMSPAR) != 0) {
        settings.parity = (attributes.c_cflag & PARODD) != 0 ? 'm' : 's';
    } else {
        settings.parity = (attributes.c_cflag & PARODD) != 0 ? 'o' : 'e';
    }
    settings.stopBits = (attributes.c_cflag & CSTOPB) != 0 ? 2 : 1;
    return settings;
}

QJsonObject openedEvent(const TerminalLine& settings) {
    return {{"event", "opened"},
            {"speed", settings.speed},
            {"data", settings.dataBits},
            {"parity", QString(QLatin1Char(settings.parity))},
            {"stop", settings.stopBits}};
}

} // namespace ModuleSim
