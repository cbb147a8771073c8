#include "DialogUnits.h"

#include <QFontMetrics>
#include <QStringList>

namespace {
// Rounds a * b / c to the nearest integer, as MulDiv does.
int mulDiv(int a, int b, int c)
{
    const qint64 product = qint64(a) * b;
    const qint64 half = c / 2;
    return int(product >= 0 ? (product + half) / c : (product - half) / c);
}
}

DialogUnits::DialogUnits(const QFont &font)
{
    const QFontMetrics metrics(font);
    static const QString alphabet = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    m_baseX = (metrics.horizontalAdvance(alphabet) / 26 + 1) / 2;
    m_baseY = metrics.height();
}

QFont DialogUnits::templateFont()
{
    QFont font;
    QStringList families;
    families << QStringLiteral("ＭＳ Ｐゴシック") << QStringLiteral("MS PGothic") << QStringLiteral("Noto Sans CJK JP")
             << QStringLiteral("IPAPGothic") << QStringLiteral("Droid Sans Fallback");
    font.setFamilies(families);
    font.setPointSize(9);
    return font;
}

int DialogUnits::toPixelsX(int units) const
{
    return mulDiv(units, m_baseX, 4);
}

int DialogUnits::toPixelsY(int units) const
{
    return mulDiv(units, m_baseY, 8);
}

QRect DialogUnits::rect(int x, int y, int width, int height) const
{
    const int left = toPixelsX(x);
    const int top = toPixelsY(y);
    return QRect(left, top, toPixelsX(x + width) - left, toPixelsY(y + height) - top);
}

QSize DialogUnits::size(int width, int height) const
{
    return QSize(toPixelsX(width), toPixelsY(height));
}
