#include "TextRule.h"

#include "CodePage.h"
#include "Frame.h"

TextRule::TextRule(const QString &what, int limit, Encoding encoding)
    : m_what(what)
    , m_limit(limit)
    , m_encoding(encoding)
{
}

TextRule TextRule::unicode(const QString &what)
{
    return TextRule(what, MAX_EXT_TEXT, Encoding::Utf8);
}

bool TextRule::encode(const QString &text, QByteArray *bytes, QString *reason) const
{
    QByteArray encoded;
    if (m_encoding == Encoding::Utf8) {
        encoded = text.toUtf8();
        if (encoded.size() > m_limit) {
            if (reason)
                *reason = tooLongUnicodeReason(m_what, int(encoded.size()));
            return false;
        }
        *bytes = encoded;
        return true;
    }
    if (!CodePage::encode(text, &encoded)) {
        if (reason)
            *reason = unencodableReason(m_what, CodePage::unencodable(text));
        return false;
    }
    if (encoded.size() > m_limit) {
        if (reason)
            *reason = tooLongReason(m_what, int(encoded.size()), m_limit);
        return false;
    }
    *bytes = encoded;
    return true;
}

int TextRule::byteCount(const QString &text) const
{
    if (m_encoding == Encoding::Utf8)
        return int(text.toUtf8().size());
    QString sendable = text;
    for (const QChar character : CodePage::unencodable(text))
        sendable.remove(character);
    QByteArray bytes;
    CodePage::encode(sendable, &bytes);
    return int(bytes.size());
}

QString TextRule::counterText(const QString &text) const
{
    const int bytes = byteCount(text);
    QString counter = QStringLiteral("%1 / %2 バイト").arg(bytes).arg(m_limit);
    if (m_encoding == Encoding::Cp932 && !CodePage::unencodable(text).isEmpty())
        counter += QStringLiteral("（送れない文字があります）");
    else if (bytes > m_limit)
        counter += QStringLiteral("（%1 バイト多すぎます）").arg(bytes - m_limit);
    return counter;
}

QString TextRule::unencodableReason(const QString &what, const QString &characters)
{
    return QStringLiteral("「%1」は%2に使えない文字です。その文字を除いてから、もう一度 OK を押してください。")
        .arg(characters, what);
}

QString TextRule::tooLongReason(const QString &what, int bytes, int limit)
{
    return QStringLiteral("%1が長すぎます（%2 バイト）。%3 バイト以内（全角は1文字2バイト）に縮めてから、"
                          "もう一度 OK を押してください。")
        .arg(what)
        .arg(bytes)
        .arg(limit);
}

QString TextRule::tooLongUnicodeReason(const QString &what, int bytes)
{
    return QStringLiteral("%1が長すぎます（%2 バイト）。%3 バイト以内（日本語は1文字3バイト、絵文字は4バイト）に縮めてから、"
                          "もう一度 OK を押してください。")
        .arg(what)
        .arg(bytes)
        .arg(MAX_EXT_TEXT);
}
