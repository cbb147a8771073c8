#include "TextRule.h"

#include "CodePage.h"

TextRule::TextRule(const QString &what, int limit)
    : m_what(what)
    , m_limit(limit)
{
}

bool TextRule::encode(const QString &text, QByteArray *bytes, QString *reason) const
{
    QByteArray encoded;
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
    if (!CodePage::unencodable(text).isEmpty())
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
