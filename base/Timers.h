#pragma once

#include <functional>

class QObject;

// Timers as the programs use them: for the pauses of a paced file send and
// of the serial line. Tests substitute timers that run in no real time.
class ITimers
{
public:
    virtual ~ITimers() = default;
    // Runs `then` once on the event loop, `milliseconds` from now, unless
    // `context` is destroyed first. Nothing waits meanwhile.
    virtual void singleShot(int milliseconds, QObject *context, std::function<void()> then) = 0;

    // Qt's own timers.
    static ITimers &real();
};
