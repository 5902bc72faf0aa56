#pragma once

#include <QByteArray>

// The bytes received from the module since the last read command, as they
// came, plus a line feed after each carriage return. Reply fields are taken by
// position from these bytes. Only the first Capacity bytes are kept: a reply
// starts at position 1, so the cap never changes what is decoded, and a
// babbling line cannot grow memory without bound.
class ReceiveLog {
public:
    static constexpr qsizetype Capacity = 64 * 1024;

    // Appends what still fits and returns that part.
    QByteArray append(const QByteArray& bytes);
    void clear() { bytes_.clear(); }
    const QByteArray& bytes() const { return bytes_; }

private:
    QByteArray bytes_;
};
