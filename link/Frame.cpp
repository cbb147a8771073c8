#include "Frame.h"

#include <QtEndian>

#include <cstring>

void FrameHeader::encode(char *out) const
{
    std::memset(out, 0, FRAME_HEADER_SIZE);
    out[0] = static_cast<char>(kind);
    qToBigEndian<quint32>(length, out + 1);
    qToBigEndian<quint16>(index, out + 5);
    std::memcpy(out + 7, spare, sizeof spare);
}

FrameHeader FrameHeader::decode(const char *in)
{
    FrameHeader header;
    header.kind = static_cast<quint8>(in[0]);
    header.length = qFromBigEndian<quint32>(in + 1);
    header.index = qFromBigEndian<quint16>(in + 5);
    std::memcpy(header.spare, in + 7, sizeof header.spare);
    return header;
}

quint8 FrameHeader::announcedVersion() const
{
    const bool marked = quint8(index >> 8) == quint8(EXT_MARKER[0]) && quint8(index) == quint8(EXT_MARKER[1])
        && spare[0] == quint8(EXT_MARKER[2]) && spare[1] == quint8(EXT_MARKER[3]);
    return kind == FRAME_RS && length == 0 && marked ? spare[2] : 0;
}

quint32 FrameHeader::payloadSize() const
{
    if (kind != FRAME_FILE)
        return length;
    return isLastFileChunk() ? length % CHUNK_SIZE : CHUNK_SIZE;
}

namespace {
QByteArray frame(const FrameHeader &header, const char *payload, qsizetype size)
{
    QByteArray bytes(FRAME_HEADER_SIZE + size, Qt::Uninitialized);
    header.encode(bytes.data());
    if (size > 0)
        std::memcpy(bytes.data() + FRAME_HEADER_SIZE, payload, size_t(size));
    return bytes;
}

QByteArray extFrame(quint8 kind, const QByteArray &payload)
{
    FrameHeader header{kind, quint32(payload.size()), quint16(EXT_FORMAT << 8)};
    return frame(header, payload.constData(), payload.size());
}

void appendBigEndian32(QByteArray &bytes, quint32 value)
{
    char be[4];
    qToBigEndian<quint32>(value, be);
    bytes.append(be, 4);
}
}

QByteArray FrameCodec::textFrame(const QByteArray &text)
{
    return frame({FRAME_TEXT, quint32(text.size()), 0}, text.constData(), text.size());
}

QByteArray FrameCodec::rsFrame(const QByteArray &text)
{
    return frame({FRAME_RS, quint32(text.size()), 0}, text.constData(), text.size());
}

QByteArray FrameCodec::fileFrame(quint32 fileLength, quint16 index, const QByteArray &payload)
{
    return frame({FRAME_FILE, fileLength, index}, payload.constData(), payload.size());
}

quint32 FrameCodec::fileFrameCount(quint64 fileLength)
{
    return quint32(fileLength / CHUNK_SIZE) + 1;
}

bool FrameCodec::fileFits(quint64 fileLength)
{
    return fileLength / CHUNK_SIZE <= MAX_CHUNK_INDEX;
}

QByteArray FrameCodec::announcementFrame()
{
    FrameHeader header{FRAME_RS, 0, quint16(quint8(EXT_MARKER[0]) << 8 | quint8(EXT_MARKER[1]))};
    header.spare[0] = quint8(EXT_MARKER[2]);
    header.spare[1] = quint8(EXT_MARKER[3]);
    header.spare[2] = EXT_VERSION;
    return frame(header, nullptr, 0);
}

QByteArray FrameCodec::extHelloFrame(quint32 features)
{
    QByteArray payload(1, char(EXT_VERSION));
    appendBigEndian32(payload, features);
    return extFrame(FRAME_EXT_HELLO, payload);
}

QByteArray FrameCodec::extTextFrame(const QByteArray &utf8)
{
    return extFrame(FRAME_EXT_TEXT, utf8);
}

QByteArray FrameCodec::extFileBeginFrame(quint32 transferId, quint64 size, const QString &name)
{
    const QByteArray utf8 = name.toUtf8().left(MAX_EXT_NAME);
    QByteArray payload;
    payload.reserve(EXT_FILE_BEGIN_FIXED + utf8.size());
    appendBigEndian32(payload, transferId);
    appendBigEndian32(payload, quint32(size >> 32));
    appendBigEndian32(payload, quint32(size));
    payload.append(char(utf8.size()));
    payload.append(utf8);
    return extFrame(FRAME_EXT_FILE_BEGIN, payload);
}

QByteArray FrameCodec::extFileDataFrame(quint32 transferId, quint32 chunk, const QByteArray &data)
{
    QByteArray bytes(FRAME_HEADER_SIZE + EXT_FILE_DATA_FIXED + data.size(), Qt::Uninitialized);
    writeExtFileDataHead(bytes.data(), transferId, chunk, quint32(data.size()));
    if (!data.isEmpty())
        std::memcpy(bytes.data() + FRAME_HEADER_SIZE + EXT_FILE_DATA_FIXED, data.constData(), size_t(data.size()));
    return bytes;
}

void FrameCodec::writeExtFileDataHead(char *out, quint32 transferId, quint32 chunk, quint32 dataSize)
{
    FrameHeader header{FRAME_EXT_FILE_DATA, EXT_FILE_DATA_FIXED + dataSize, quint16(EXT_FORMAT << 8)};
    header.encode(out);
    qToBigEndian<quint32>(transferId, out + FRAME_HEADER_SIZE);
    qToBigEndian<quint32>(chunk, out + FRAME_HEADER_SIZE + 4);
}

QByteArray FrameCodec::extFileAbortFrame(quint32 transferId)
{
    QByteArray payload;
    appendBigEndian32(payload, transferId);
    return extFrame(FRAME_EXT_FILE_ABORT, payload);
}

QByteArray FrameCodec::extReceiptFrame(quint32 transferId, quint8 outcome)
{
    QByteArray payload;
    appendBigEndian32(payload, transferId);
    payload.append(char(outcome));
    return extFrame(FRAME_EXT_RECEIPT, payload);
}

quint64 FrameCodec::extChunkCount(quint64 size)
{
    return (size + EXT_CHUNK_SIZE - 1) / EXT_CHUNK_SIZE;
}

QString FrameCodec::safeFileName(const QString &name)
{
    // Both separators, whichever system the sender runs on.
    QString base = name.section(QLatin1Char('/'), -1).section(QLatin1Char('\\'), -1);
    base.removeIf([](QChar c) { return c.category() == QChar::Other_Control || c.category() == QChar::Other_Format
                                    || c.category() == QChar::Separator_Line
                                    || c.category() == QChar::Separator_Paragraph; });
    if (base == QLatin1String(".") || base == QLatin1String(".."))
        return QString();
    while (base.toUtf8().size() > MAX_EXT_NAME) {
        base.chop(1);
        if (!base.isEmpty() && base.back().isHighSurrogate())
            base.chop(1);
    }
    return base;
}

bool FrameCodec::parseExtHello(const QByteArray &payload, quint8 *version, quint32 *features)
{
    if (payload.size() < EXT_HELLO_SIZE)
        return false;
    *version = quint8(payload[0]);
    *features = qFromBigEndian<quint32>(payload.constData() + 1);
    return true;
}

bool FrameCodec::parseExtFileBegin(const QByteArray &payload, ExtFileBegin *begin)
{
    if (payload.size() < EXT_FILE_BEGIN_FIXED)
        return false;
    const int nameSize = quint8(payload[EXT_FILE_BEGIN_FIXED - 1]);
    if (payload.size() != EXT_FILE_BEGIN_FIXED + nameSize)
        return false;
    begin->transferId = qFromBigEndian<quint32>(payload.constData());
    begin->size = qFromBigEndian<quint64>(payload.constData() + 4);
    begin->name = safeFileName(QString::fromUtf8(payload.constData() + EXT_FILE_BEGIN_FIXED, nameSize));
    return true;
}

bool FrameCodec::parseExtFileData(const QByteArray &payload, quint32 *transferId, quint32 *chunk)
{
    if (payload.size() < EXT_FILE_DATA_FIXED)
        return false;
    *transferId = qFromBigEndian<quint32>(payload.constData());
    *chunk = qFromBigEndian<quint32>(payload.constData() + 4);
    return true;
}

bool FrameCodec::parseExtTransferId(const QByteArray &payload, quint32 *transferId)
{
    if (payload.size() < EXT_FILE_ABORT_SIZE)
        return false;
    *transferId = qFromBigEndian<quint32>(payload.constData());
    return true;
}

bool FrameCodec::parseExtReceipt(const QByteArray &payload, quint32 *transferId, quint8 *outcome)
{
    if (payload.size() < EXT_RECEIPT_SIZE)
        return false;
    *transferId = qFromBigEndian<quint32>(payload.constData());
    *outcome = quint8(payload[4]);
    return true;
}

quint32 FrameCodec::maxExtPayload(quint8 kind)
{
    switch (kind) {
    case FRAME_EXT_HELLO:
        return EXT_HELLO_SIZE;
    case FRAME_EXT_TEXT:
        return MAX_EXT_TEXT;
    case FRAME_EXT_FILE_BEGIN:
        return EXT_FILE_BEGIN_FIXED + MAX_EXT_NAME;
    case FRAME_EXT_FILE_DATA:
        return EXT_FILE_DATA_FIXED + EXT_CHUNK_SIZE;
    case FRAME_EXT_FILE_ABORT:
        return EXT_FILE_ABORT_SIZE;
    case FRAME_EXT_RECEIPT:
        return EXT_RECEIPT_SIZE;
    default:
        return 0;
    }
}
