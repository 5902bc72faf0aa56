#pragma once

#include <QByteArray>
#include <QString>

#include <stdexcept>
#include <string>

struct Declarations;

// The port number file "COM-BAUD.txt" beside the program: one 10-byte record,
// the port digit followed by nine blanks.

class PortFileError : public std::runtime_error {
public:
    explicit PortFileError(const std::string& what) : std::runtime_error(what) {}
};

inline constexpr int PortRecordSize = 10;

QString portFilePath(const QString& programFolder);

// The port a record names: its first character as a digit, where 0 and
// anything else mean port 1. A record may be shorter than 10 bytes, down to
// empty.
int portFromRecord(const QByteArray& record);

// The record that stores a port: the digit and nine blanks.
QByteArray recordForPort(int port);

// Reads the file into ComRecord and returns its port, 1 to 9. A missing file
// is created, empty; a file that may only be read is read. Throws
// PortFileError when it cannot be read or created, or is no regular file
// with one name.
int readPortFile(Declarations& shared);

// Writes ComRecord as bytes 0 to 9 of the file; later bytes stay as they
// were. Throws PortFileError on any failure.
void writePortFile(const Declarations& shared);
