#pragma once

#include <QByteArray>
#include <QString>

#include <array>

// How the receive poller decodes a reply when its carriage return arrives.
enum class ReplyKind { None, Clock, Schedule };

// The program's shared variables: the configured port, how replies are
// decoded, and the record buffer of the port number file. The main window
// owns the one instance and hands it to port selection; everything else the
// handlers share lives in the window's controls.
struct Declarations {
    // The record buffer of the port number file: always exactly 10 characters.
    using Record = std::array<char, 10>;

    explicit Declarations(QString programFolder) : ProgramFolder(std::move(programFolder)) {}

    // The folder that holds the program, its port number file and any COMn
    // links to devices.
    const QString ProgramFolder;
    // Configured serial port: 1 to 9 after start-up (the file may hold "9"),
    // 1 to 8 after a pick in the port menu.
    int ComPortNumber = 0;
    // Set by the two read commands; nothing sets it back to None.
    ReplyKind ReplyMode = ReplyKind::None;
    // Holds 10 NUL characters until the port number file is first read.
    Record ComRecord{};

    // Puts a text into ComRecord: cut to 10 characters, or filled up with blanks.
    void setComRecord(const QByteArray& text);
};
