#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

// Converts the dialog units of a dialog template to pixels through the
// metrics of the dialog's font, as Windows does: a horizontal unit is a
// quarter of the average character width, a vertical unit an eighth of the
// character height.
class DialogUnits
{
public:
    explicit DialogUnits(const QFont &font);

    // "ＭＳ Ｐゴシック" at 9 points, falling back to an installed Japanese font.
    static QFont templateFont();

    int toPixelsX(int units) const;
    int toPixelsY(int units) const;
    QRect rect(int x, int y, int width, int height) const;
    QSize size(int width, int height) const;

private:
    int m_baseX;
    int m_baseY;
};
