#pragma once

#include <QByteArray>

// The Station's serial control line, as its connection sockets see it.
class ISerialLine
{
public:
    virtual ~ISerialLine() = default;
    // Puts the first byte of an RS control payload on the line (none when the
    // payload is empty), then pauses.
    virtual void WriteByte(const QByteArray &payload) = 0;
};
