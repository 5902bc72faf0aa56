#pragma once

#include <QString>

namespace Cli {

// What can be told about one numbered port without talking to a module.
struct PortFacts {
    int port = 0;
    QString device;          // as the window would open it
    bool present = false;    // the device exists
    bool accessible = false; // this user may read and write it
    bool free = false;       // it opens: no other program holds it
    QString reason;          // why it does not open
    QString description;     // a USB adapter's product description
    QString serialNumber;    // and its serial number
};

// Looks at port `port`; to learn whether it is free, opens and closes it.
PortFacts portFacts(int port, const QString& programFolder);

// What the system tells about facts.device: whether it is there and may be
// used, and what it is.
void describeDevice(PortFacts& facts);

// How this system names serial devices on the command line.
// The help's lines on what port n stands for and how a device is named.
QString portsHelp();
// A device as the help's examples name it.
QString exampleDevice();
// Whether a targets file's word names a device rather than a port.
bool isDevicePath(const QString& word);
// The device path a bare device name likely means ("ttyUSB0").
QString devicePathFor(const QString& name);
// One name for every spelling of a device and every path that leads to it,
// so that two targets on one device compare equal.
QString deviceKey(const QString& path);

} // namespace Cli
