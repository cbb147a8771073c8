#pragma once

#include <QByteArray>

// One of the two lines the status view draws: a CP932 byte string with a
// fixed capacity that counts its terminating NUL, as the peers size them
// (status 52 or 50 bytes, message 200 bytes).
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
    const QByteArray &bytes() const { return m_text; }
    bool isEmpty() const { return m_text.isEmpty(); }

private:
    int m_capacity;
    QByteArray m_text;
};
