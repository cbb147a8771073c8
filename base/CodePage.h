#pragma once

#include <QByteArray>
#include <QString>

// The Windows Japanese code page (CP932, Qt's "windows-31j"): every text on
// the wire and in the display lines is held in it.
namespace CodePage {

// Encodes `text` as a Windows peer writes it: the JIS forms that Linux input
// methods and pasted texts carry (〜 U+301C, − U+2212, ‖ U+2016, — U+2014, ¢,
// £, ¬) go out as the code page's own forms of them (81 60, 81 7C, ...), and
// ¥ (U+00A5, the yen key) and ‾ (U+203E) as the single bytes 5C and 7E.
// False (and `bytes` untouched) when a character has no CP932 form, so that a
// text is never sent altered.
bool encode(const QString &text, QByteArray *bytes);

// The characters of `text` that encode() refuses, each once, in order of
// appearance; empty when `text` can be encoded.
QString unencodable(const QString &text);

// Decodes CP932 bytes for drawing: bytes that are no character of the code
// page, a lead byte cut off at the end among them, become U+FFFD each, and
// every single byte below 0x80 stays the character it is.
QString decode(const QByteArray &bytes);

// True for the first byte of a double-byte character.
bool isLeadByte(unsigned char byte);
// True for a byte that can follow a lead byte.
bool isTrailByte(unsigned char byte);

// The longest prefix of `bytes` of at most `maxBytes` bytes that does not
// end inside a double-byte character.
int fittingLength(const char *bytes, int size, int maxBytes);

}
