#include "ProgramIcon.h"

#include <QPainter>

QIcon ProgramIcon::make(const QString &programTitle)
{
    QIcon icon;
    for (const int side : {16, 32})
        icon.addPixmap(draw(programTitle, side));
    return icon;
}

QPixmap ProgramIcon::draw(const QString &programTitle, int side)
{
    // The Station in dark red, marked "T2" ("2" where "T2" would not be
    // legible); the Terminal in navy, marked "T". Colour and mark both tell
    // them apart at every size, in a taskbar at 16 pixels too.
    const bool station = programTitle.endsWith(QLatin1Char('2'));
    QString mark = QStringLiteral("T");
    if (station)
        mark = side >= 32 ? QStringLiteral("T2") : QStringLiteral("2");

    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(station ? QColor(160, 0, 0) : QColor(0, 0, 128));
    painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(QRectF(0.5, 0.5, side - 1, side - 1), side / 6.0, side / 6.0);
    QFont font;
    font.setBold(true);
    font.setPixelSize(side * 9 / 16);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QRect(0, 0, side, side), Qt::AlignCenter, mark);
    painter.end();
    return pixmap;
}
