#pragma once

#include <QString>

#include <vector>

// What Windows tells of its serial ports without opening them.
namespace WinPortDevices {

// The ports the system has now, by number (COM1 is 1), in order.
std::vector<int> presentPorts();

// What the system names the device behind a port name such as "COM3"
// ("\Device\Serial2"), or empty when it knows no such device.
QString systemName(const QString& portName);

struct DeviceName {
    QString friendlyName; // as Device Manager shows it: "USB Serial Port (COM5)"
    QString serialNumber; // a USB device's own serial number
};

// Device Manager's entry for the device behind a port name such as "COM5";
// empty parts where the system has none (a port no driver announced).
DeviceName deviceName(const QString& portName);

} // namespace WinPortDevices
