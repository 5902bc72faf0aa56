#pragma once

#include <QString>

#include <array>

// The program's shared variables. Everything else the handlers share lives in
// the controls of the main window.
namespace Declarations {

// The record buffer of the port number file: always exactly 10 characters.
using Record = std::array<char, 10>;

// Configured serial port: 1 to 9 after start-up (the file may hold "9"),
// 1 to 8 after a pick in the port menu.
extern int ComPortNumber;
// How the poller decodes a reply: 0 nothing, 1 clock, 2 schedule.
extern int ReplyMode;
// Holds 10 NUL characters until the port number file is first read.
extern Record ComRecord;

// Puts a text into ComRecord: cut to 10 characters, or filled up with blanks.
void setComRecord(const QByteArray& text);

// Back to the values at program start.
void reset();

} // namespace Declarations
