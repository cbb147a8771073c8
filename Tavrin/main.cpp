#include "Tavrin.h"
#include "JapaneseTranslation.h"
#include "QuitOnSignal.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tavrin"));
    JapaneseTranslation::install(&application);
    QuitOnSignal::install(&application);

    CMyApp theApp;
    if (!theApp.InitInstance(QApplication::arguments().mid(1)))
        return 1;
    return QApplication::exec();
}
