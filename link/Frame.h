#pragma once

// Wire format of a Station-Terminal connection (TCP, port SERVICE_PORT).
// There is no greeting, acknowledgement or checksum: frames of a 10-byte
// header and a payload follow one another back to back in both directions.
//
//   offset size  field   encoding
//   0      1     kind    FRAME_TEXT 1, FRAME_FILE 2, FRAME_RS 3
//   1      4     length  unsigned, big-endian. Text and RS: payload size.
//                        File: size of the whole file, the same in every
//                        frame of that file. Values from 2^31 are never sent.
//   5      2     index   unsigned, big-endian. File: chunk number from 0.
//                        Text and RS: unused.
//   7      3     -       unused
//   10     ...   payload text bytes (CP932, no NUL), RS bytes, file chunk
//
// Unused header bytes are sent as zero and never looked at on receipt.
//
// A file of T bytes travels as T / CHUNK_SIZE full chunks of CHUNK_SIZE
// bytes (index 0, 1, ...), then exactly one last frame with index
// T / CHUNK_SIZE carrying the T % CHUNK_SIZE remaining bytes, a bare header
// when that is 0. A file frame is the last of its file exactly when
// index == length / CHUNK_SIZE; every other file frame carries CHUNK_SIZE
// bytes. The 16-bit index therefore bounds a file to 65535 full chunks.
//
// Examples: text "abc" is 01 00 00 00 03 00 00 00 00 00 61 62 63; the last
// frame of a 4000-byte file is 02 00 00 0F A0 00 02 00 00 00.

#include <QByteArray>
#include <QtGlobal>

constexpr int FRAME_HEADER_SIZE = 10;
constexpr quint8 FRAME_TEXT = 1;
constexpr quint8 FRAME_FILE = 2;
constexpr quint8 FRAME_RS = 3;
constexpr int CHUNK_SIZE = 2000;
// Longest text the Station sends, in bytes.
constexpr int MAX_TEXT = 200;
// Longest text or RS string the Terminal sends: its peers frame it in a
// 200-byte buffer with the header and a NUL.
constexpr int MAX_TERMINAL_TEXT = 189;
constexpr quint16 SERVICE_PORT = 1;
constexpr int MAX_CLIENTS = 10;
// Highest chunk index the 16-bit field carries.
constexpr quint32 MAX_CHUNK_INDEX = 0xFFFF;

struct FrameHeader
{
    quint8 kind = 0;
    quint32 length = 0;
    quint16 index = 0;

    // Writes the 10 header bytes to `out`, unused bytes as zero.
    void encode(char *out) const;
    static FrameHeader decode(const char *in);

    bool isLastFileChunk() const { return index == length / CHUNK_SIZE; }
    // Number of payload bytes that follow this header on the wire.
    quint32 payloadSize() const;
};

namespace FrameCodec {
QByteArray textFrame(const QByteArray &text);
QByteArray rsFrame(const QByteArray &text);
QByteArray fileFrame(quint32 fileLength, quint16 index, const QByteArray &payload);
// Number of frames a file of `fileLength` bytes travels as.
quint32 fileFrameCount(quint64 fileLength);
// True when a file of that size fits the 16-bit chunk index.
bool fileFits(quint64 fileLength);
}
