#pragma once

#include <QByteArray>
#include <QString>

// The Windows Japanese code page (CP932, Qt's "windows-31j"): every text on
// the wire and in the display lines is held in it.
namespace CodePage {

// Encodes `text`; false (and `bytes` untouched) when a character has no
// CP932 form, so that a text is never sent altered.
bool encode(const QString &text, QByteArray *bytes);

// Decodes CP932 bytes for drawing.
QString decode(const QByteArray &bytes);

// True for the first byte of a double-byte character.
bool isLeadByte(unsigned char byte);

// The longest prefix of `bytes` of at most `maxBytes` bytes that does not
// end inside a double-byte character.
int fittingLength(const char *bytes, int size, int maxBytes);

}
