#include "ProgramMain.h"

#include "AppFramework.h"
#include "JapaneseTranslation.h"
#include "QuitOnSignal.h"

void ProgramMain::prepare(QApplication &application, const QString &name)
{
    QApplication::setApplicationName(name);
    JapaneseTranslation::install(&application);
    QuitOnSignal::install(&application);
}

int ProgramMain::run(AppFramework &app)
{
    if (!app.InitInstance(QApplication::arguments().mid(1)))
        return 1;
    return QApplication::exec();
}
