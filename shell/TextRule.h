#pragma once

#include <QByteArray>
#include <QString>

// What a text the operator types must be to go out: the bytes it is sent
// as (CP932, or UTF-8 to a peer that speaks our extension) and how many of
// them the peer takes, with what the operator is
// told while typing and when the text is refused. A value: the program
// makes one for each kind of text and peer, the prompt applies it.
class TextRule
{
public:
    enum class Encoding { Cp932, Utf8 };

    // `what` names the text in what the operator is told ("送る文字列").
    TextRule(const QString &what, int limit, Encoding encoding = Encoding::Cp932);
    // A UTF-8 text of at most MAX_EXT_TEXT bytes.
    static TextRule unicode(const QString &what);

    const QString &what() const { return m_what; }
    int limit() const { return m_limit; }
    Encoding encoding() const { return m_encoding; }

    // The bytes `text` goes out as; false, with `reason` saying what to
    // change, when it cannot go out.
    bool encode(const QString &text, QByteArray *bytes, QString *reason = nullptr) const;
    // Bytes of `text` on the wire, its characters that cannot go out left out.
    int byteCount(const QString &text) const;
    // "123 / 189 バイト", with what is wrong appended when the text cannot go out.
    QString counterText(const QString &text) const;

    static QString unencodableReason(const QString &what, const QString &characters);
    static QString tooLongReason(const QString &what, int bytes, int limit);
    static QString tooLongUnicodeReason(const QString &what, int bytes);

private:
    QString m_what;
    int m_limit;
    Encoding m_encoding;
};
