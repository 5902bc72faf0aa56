#pragma once

#include <QString>
#include <QStringList>

#include <vector>

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

// The last of the ports the window can be set to, COM1 to COM9.
inline constexpr int LastWindowPort = 9;

// The ports `ports` lists: the window's, and on Windows every port above
// them that the system has.
std::vector<int> listedPorts();

// Looks at port `port`; to learn whether it is free, opens and closes it.
PortFacts portFacts(int port, const QString& programFolder);

// What the system tells about facts.device: whether it is there and may be
// used, and what it is.
void describeDevice(PortFacts& facts);

// Whether the port opens, which tells that no other program holds it;
// otherwise why not.
void probe(PortFacts& facts, const QString& programFolder);

// How this system names serial devices on the command line.
// The help's lines on what port n stands for and how a device is named.
QString portsHelp();
// A device as the help's examples name it.
QString exampleDevice();
// Whether a targets file's word names a device rather than a port.
bool isDevicePath(const QString& word);
// The command line in the form the parser reads: on Windows "/?" asks for
// the help, as it does of the system's own commands.
QStringList standardArguments(QStringList arguments);
// The device path a bare device name likely means ("ttyUSB0").
QString devicePathFor(const QString& name);
// One name for every spelling of a device and every path that leads to it,
// so that two targets on one device compare equal.
QString deviceKey(const QString& path);

} // namespace Cli
