#pragma once

class QCoreApplication;

// Ends the event loop on SIGTERM or SIGINT, so that a program stopped by the
// session or a service manager closes its connections, serial port and chunk
// files as it does when its window is closed.
class QuitOnSignal
{
public:
    static void install(QCoreApplication *application);
};
