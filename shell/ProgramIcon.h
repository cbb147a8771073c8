#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>

// The program icon (frame, About box and the installed icon theme files),
// drawn rather than loaded.
class ProgramIcon
{
public:
    static QIcon make(const QString &programTitle);
    // One square image of the icon, `side` pixels wide.
    static QPixmap draw(const QString &programTitle, int side);
};
