#include "Timers.h"

#include <QTimer>

namespace {
class QtTimers : public ITimers
{
public:
    void singleShot(int milliseconds, QObject *context, std::function<void()> then) override
    {
        QTimer::singleShot(milliseconds, context, std::move(then));
    }
};
}

ITimers &ITimers::real()
{
    static QtTimers timers;
    return timers;
}
