#pragma once

class QCoreApplication;

// Both programs speak Japanese whatever the desktop's locale: Qt's own
// dialogs and buttons (Open, Save As, their questions, OK/Cancel) take their
// texts from Qt's installed translations, and QLocale() is Japanese. (The
// file dialog's date and size columns still follow the desktop's locale.)
class JapaneseTranslation
{
public:
    static void install(QCoreApplication *application);
};
