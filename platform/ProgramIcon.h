#pragma once

#include <QIcon>
#include <QString>

// The program icon (frame and About box), drawn rather than loaded.
class ProgramIcon
{
public:
    static QIcon make(const QString &programTitle);
};
