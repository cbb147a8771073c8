#pragma once

#include <QByteArray>
#include <QString>

// One of the two lines the status view draws: a CP932 byte string with a
// fixed capacity that counts its terminating NUL, as the peers size them
// (status 52 or 50 bytes, message 200 bytes). A text that came in UTF-8
// from a peer of our own is held whole instead, as that peer sent it.
class DisplayLine
{
public:
    explicit DisplayLine(int capacity);

    int capacity() const { return m_capacity; }
    // The longest text the line holds, without its NUL.
    int maxTextBytes() const { return m_capacity - 1; }

    // Replaces the text; a text too long is cut to fit, never inside a
    // double-byte character.
    void set(const QByteArray &text);
    // Replaces the text with a Unicode one, uncut: the link bounds its length.
    void setUnicode(const QString &text);
    // The CP932 text; empty while a Unicode one is held.
    const QByteArray &bytes() const { return m_text; }
    bool holdsUnicode() const { return m_holdsUnicode; }
    const QString &unicode() const { return m_unicode; }
    bool isEmpty() const { return m_text.isEmpty() && m_unicode.isEmpty(); }

private:
    int m_capacity;
    QByteArray m_text;
    QString m_unicode;
    bool m_holdsUnicode = false;
};
