#include "DisplayLine.h"

#include "CodePage.h"

DisplayLine::DisplayLine(int capacity)
    : m_capacity(capacity)
{
    m_text.reserve(capacity);
}

void DisplayLine::set(const QByteArray &text)
{
    const int kept = CodePage::fittingLength(text.constData(), int(text.size()), maxTextBytes());
    m_text = text.left(kept);
    m_unicode.clear();
    m_holdsUnicode = false;
}

void DisplayLine::setUnicode(const QString &text)
{
    m_text.clear();
    m_unicode = text;
    m_holdsUnicode = true;
}
