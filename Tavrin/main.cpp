#include "Tavrin.h"
#include "JapaneseTranslation.h"
#include "QtPlatform.h"
#include "QuitOnSignal.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tavrin"));
    JapaneseTranslation::install(&application);
    QuitOnSignal::install(&application);

    QtPlatform desktop;
    CMyApp theApp(desktop);
    if (!theApp.InitInstance(QApplication::arguments().mid(1)))
        return 1;
    return QApplication::exec();
}
