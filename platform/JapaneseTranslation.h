#pragma once

class QCoreApplication;

// Both programs speak Japanese whatever the desktop's locale: Qt's own
// dialogs and buttons (Open, Save As, their questions, OK/Cancel) and its
// number and date formats follow, from Qt's installed translations.
class JapaneseTranslation
{
public:
    static void install(QCoreApplication *application);
};
