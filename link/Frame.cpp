#include "Frame.h"

#include <QtEndian>

#include <cstring>

void FrameHeader::encode(char *out) const
{
    std::memset(out, 0, FRAME_HEADER_SIZE);
    out[0] = static_cast<char>(kind);
    qToBigEndian<quint32>(length, out + 1);
    qToBigEndian<quint16>(index, out + 5);
}

FrameHeader FrameHeader::decode(const char *in)
{
    FrameHeader header;
    header.kind = static_cast<quint8>(in[0]);
    header.length = qFromBigEndian<quint32>(in + 1);
    header.index = qFromBigEndian<quint16>(in + 5);
    return header;
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
