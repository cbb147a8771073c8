#pragma once

#include <QByteArray>

#include <functional>

class QObject;

// The Station's serial control line, as its connection sockets see it.
class ISerialLine
{
public:
    virtual ~ISerialLine() = default;
    // Queues an RS control payload for the line, which serves payloads in
    // the order they were queued: the first byte of each (none when it is
    // empty), then a pause in which nothing else is written. `done` runs once
    // that pause is over, unless `requester` is gone by then.
    virtual void WriteByte(const QByteArray &payload, QObject *requester, std::function<void()> done) = 0;
};
