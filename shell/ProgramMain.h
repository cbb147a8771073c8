#pragma once

#include "QtPlatform.h"

#include <QApplication>

class AppFramework;

// The start of both programs: Japanese texts, an end on SIGTERM, the real
// desktop services, then the application object's window and event loop.
namespace ProgramMain {

void prepare(QApplication &application, const QString &name);
// Shows the window and runs the event loop; 1 when start-up failed.
int run(AppFramework &app);

template<typename App>
int main(int argc, char *argv[], const QString &name)
{
    QApplication application(argc, argv);
    prepare(application, name);
    QtPlatform desktop;
    App theApp(desktop);
    return run(theApp);
}

}
