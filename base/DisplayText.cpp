#include "DisplayText.h"

#include "CodePage.h"

QString DisplayText::visible(const QString &text)
{
    QString shown = text;
    for (QChar &c : shown) {
        const char16_t code = c.unicode();
        if (code < 0x20)
            c = QChar(char16_t(0x2400 + code));
        else if (code == 0x7F)
            c = QChar(char16_t(0x2421));
        else if ((code >= 0x80 && code < 0xA0) || c.category() == QChar::Other_Format
                 || c.category() == QChar::Separator_Line || c.category() == QChar::Separator_Paragraph)
            c = QChar::ReplacementCharacter;
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
