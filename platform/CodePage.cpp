#include "CodePage.h"

#include <QStringDecoder>
#include <QStringEncoder>

bool CodePage::encode(const QString &text, QByteArray *bytes)
{
    QStringEncoder encoder("windows-31j");
    if (!encoder.isValid())
        return false;
    QByteArray encoded = encoder.encode(text);
    if (encoder.hasError())
        return false;
    *bytes = encoded;
    return true;
}

QString CodePage::decode(const QByteArray &bytes)
{
    QStringDecoder decoder("windows-31j");
    if (!decoder.isValid())
        return QString::fromLatin1(bytes);
    return decoder.decode(bytes);
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
        const int width = isLeadByte(static_cast<unsigned char>(bytes[pos])) ? 2 : 1;
        if (pos + width > limit)
            break;
        pos += width;
    }
    return pos;
}
