#include "CodePage.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace {
constexpr char CODEC_NAME[] = "windows-31j";

struct FormPair
{
    char16_t jis;
    char16_t windows;
};
constexpr FormPair WINDOWS_FORMS[] = {
    {u'\u301C', u'\uFF5E'}, {u'\u2212', u'\uFF0D'}, {u'\u2016', u'\u2225'}, {u'\u2014', u'\u2015'},
    {u'\u00A2', u'\uFFE0'}, {u'\u00A3', u'\uFFE1'}, {u'\u00AC', u'\uFFE2'},
    // The yen key of a Japanese keyboard, and the overline: single bytes
    // 5C and 7E, as JIS X 0201 has them.
    {u'\u00A5', u'\\'}, {u'\u203E', u'~'},
};

QString windowsForms(const QString &text)
{
    QString mapped = text;
    for (QChar &c : mapped) {
        for (const FormPair &pair : WINDOWS_FORMS) {
            if (c.unicode() == pair.jis) {
                c = QChar(pair.windows);
                break;
            }
        }
    }
    return mapped;
}

bool encodeAsIs(const QString &text, QByteArray *bytes)
{
    QStringEncoder encoder(CODEC_NAME);
    if (!encoder.isValid())
        return false;
    QByteArray encoded = encoder.encode(text);
    if (encoder.hasError())
        return false;
    *bytes = encoded;
    return true;
}
}

bool CodePage::encode(const QString &text, QByteArray *bytes)
{
    return encodeAsIs(windowsForms(text), bytes);
}

QString CodePage::unencodable(const QString &text)
{
    const QString mapped = windowsForms(text);
    QString missing;
    QByteArray ignored;
    qsizetype pos = 0;
    while (pos < mapped.size()) {
        const qsizetype width = mapped.at(pos).isHighSurrogate() && pos + 1 < mapped.size() ? 2 : 1;
        const QString character = mapped.mid(pos, width);
        if (!encodeAsIs(character, &ignored) && !missing.contains(character))
            missing += character;
        pos += width;
    }
    return missing;
}

// The codec is asked only about well-formed double-byte characters: for a
// stray byte it answers U+001A, and it swaps some control characters.
QString CodePage::decode(const QByteArray &bytes)
{
    QString text;
    text.reserve(bytes.size());
    // Handed whole characters only, it is never left inside one.
    QStringDecoder decoder(CODEC_NAME);
    QByteArray pairs;
    const auto flushPairs = [&] {
        if (pairs.isEmpty())
            return;
        text += decoder.isValid() ? decoder.decode(pairs) : QString(pairs.size() / 2, QChar::ReplacementCharacter);
        pairs.clear();
    };
    for (qsizetype pos = 0; pos < bytes.size(); ++pos) {
        const auto byte = static_cast<unsigned char>(bytes.at(pos));
        if (isLeadByte(byte) && pos + 1 < bytes.size() && isTrailByte(static_cast<unsigned char>(bytes.at(pos + 1)))) {
            pairs.append(bytes.mid(pos, 2));
            ++pos;
            continue;
        }
        flushPairs();
        if (byte < 0x80)
            text += QChar(byte);
        else if (byte >= 0xA1 && byte <= 0xDF)
            text += QChar(char16_t(0xFF61 + (byte - 0xA1)));
        else
            text += QChar::ReplacementCharacter;
    }
    flushPairs();
    return text;
}

bool CodePage::isTrailByte(unsigned char byte)
{
    return (byte >= 0x40 && byte <= 0x7E) || (byte >= 0x80 && byte <= 0xFC);
}

bool CodePage::isLeadByte(unsigned char byte)
{
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

int CodePage::fittingLength(const char *bytes, int size, int maxBytes)
{
    const int limit = size < maxBytes ? size : maxBytes;
    int pos = 0;
    while (pos < limit) {
        // A lead byte that ends the text has no trail to be cut from.
        const int width = isLeadByte(static_cast<unsigned char>(bytes[pos])) && pos + 1 < size ? 2 : 1;
        if (pos + width > limit)
            break;
        pos += width;
    }
    return pos;
}
