#include "Tavrin2.h"
#include "JapaneseTranslation.h"
#include "QtPlatform.h"
#include "QuitOnSignal.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tavrin2"));
    JapaneseTranslation::install(&application);
    QuitOnSignal::install(&application);

    QtPlatform desktop;
    CMy2App theApp(desktop);
    if (!theApp.InitInstance(QApplication::arguments().mid(1)))
        return 1;
    return application.exec();
}
