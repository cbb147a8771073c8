#include "DisplayText.h"

#include "CodePage.h"

namespace {
bool isLineBreak(char16_t code)
{
    return code == u'\r' || code == u'\n' || code == 0x2028 || code == 0x2029;
}

// Joiners only bind the characters beside them (emoji sequences, Indic
// scripts); every other format character, a direction override above all,
// could make a text read as something else.
bool isHiddenFormat(QChar c)
{
    return c.category() == QChar::Other_Format && c.unicode() != 0x200C && c.unicode() != 0x200D;
}
}

QString DisplayText::visible(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        const char16_t code = c.unicode();
        if (isLineBreak(code)) {
            if (i == 0 || !isLineBreak(text.at(i - 1).unicode()))
                shown += QLatin1Char(' ');
        } else if (code < 0x20) {
            shown += QChar(char16_t(0x2400 + code));
        } else if (code == 0x7F) {
            shown += QChar(char16_t(0x2421));
        } else if ((code >= 0x80 && code < 0xA0) || isHiddenFormat(c)) {
            shown += QChar::ReplacementCharacter;
        } else {
            shown += c;
        }
    }
    return shown;
}

QString DisplayText::line(const QByteArray &bytes)
{
    const qsizetype end = bytes.indexOf('\0');
    return visible(CodePage::decode(end < 0 ? bytes : bytes.left(end)));
}

QString DisplayText::notificationBody(const QString &text)
{
    return visible(text).toHtmlEscaped();
}
