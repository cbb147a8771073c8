#include "JapaneseTranslation.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

void JapaneseTranslation::install(QCoreApplication *application)
{
    const QLocale japanese(QLocale::Japanese, QLocale::Japan);
    QLocale::setDefault(japanese);
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    // The serial port's texts come with their own catalogue.
    for (const char *catalogue : {"qtbase", "qtserialport"}) {
        auto *translator = new QTranslator(application);
        if (translator->load(japanese, QString::fromLatin1(catalogue), QStringLiteral("_"), folder))
            QCoreApplication::installTranslator(translator);
        else
            delete translator;
    }
}
