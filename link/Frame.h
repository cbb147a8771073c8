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
//
// Extension between our own two programs. A Station whose extension is on
// starts every connection it admitted with an announcement, an empty RS
// frame whose unused bytes carry a marker and the version. A classic
// Terminal takes no action on an RS frame and reads only its header:
//
//   03 00 00 00 00 54 41 56 52 01   kind 3, length 0, "TAVR", version 1
//
// A Terminal whose extension is on answers it with a hello, and from then on
// both ends may send extension frames, kinds 0x10 to 0x15:
//
//   offset size  field   encoding
//   0      1     kind    FRAME_EXT_HELLO ... FRAME_EXT_RECEIPT
//   1      4     length  unsigned, big-endian: payload size
//   5      1     format  EXT_FORMAT (1)
//   6      4     -       zero
//   10     ...   payload
//
//   kind  sender             payload
//   0x10  Terminal, once     version (1) · features (4, bit set EXT_FEATURE_*)
//   0x11  both               UTF-8 text, at most MAX_EXT_TEXT bytes
//   0x12  sender of a file   transfer id (4) · file size (8) · name length n
//                            (1) · n bytes UTF-8 base name, n <= MAX_EXT_NAME
//   0x13  sender of a file   transfer id (4) · chunk index from 0 (4) · data:
//                            EXT_CHUNK_SIZE bytes, the last chunk the rest;
//                            an empty file has no data frame
//   0x14  sender of a file   transfer id (4): the send was cancelled or failed
//   0x15  receiver of a file transfer id (4) · outcome (1, FileReceipt)
//
// A file is whole when the data received reaches its size. A receiver skips
// by its length any extension frame whose kind or format it does not know,
// and acts on extension frames only once the peer has shown it speaks them.
//
// Examples: hello 10 00 00 00 05 01 00 00 00 00 01 00 00 00 07; text "€"
// 11 00 00 00 03 01 00 00 00 00 E2 82 AC; receipt "saved" for transfer 1
// 15 00 00 00 05 01 00 00 00 00 00 00 00 01 01; file "a" holding "xyz" as
// transfer 2: 12 00 00 00 0E 01 00 00 00 00 00 00 00 02 00 00 00 00 00 00
// 00 03 01 61, then 13 00 00 00 0B 01 00 00 00 00 00 00 00 02 00 00 00 00
// 78 79 7A.

#include <QByteArray>
#include <QString>
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

constexpr quint8 FRAME_EXT_HELLO = 0x10;
constexpr quint8 FRAME_EXT_TEXT = 0x11;
constexpr quint8 FRAME_EXT_FILE_BEGIN = 0x12;
constexpr quint8 FRAME_EXT_FILE_DATA = 0x13;
constexpr quint8 FRAME_EXT_FILE_ABORT = 0x14;
constexpr quint8 FRAME_EXT_RECEIPT = 0x15;
constexpr quint8 EXT_FORMAT = 1;
constexpr quint8 EXT_VERSION = 1;
constexpr char EXT_MARKER[4] = {'T', 'A', 'V', 'R'};
constexpr quint32 EXT_FEATURE_UNICODE_TEXT = 1;
constexpr quint32 EXT_FEATURE_NAMED_FILES = 2;
constexpr quint32 EXT_FEATURE_RECEIPTS = 4;
constexpr quint32 EXT_FEATURES = EXT_FEATURE_UNICODE_TEXT | EXT_FEATURE_NAMED_FILES | EXT_FEATURE_RECEIPTS;
constexpr int MAX_EXT_TEXT = 4000;
constexpr int EXT_CHUNK_SIZE = 65536;
constexpr int MAX_EXT_NAME = 255;
constexpr int EXT_HELLO_SIZE = 5;
constexpr int EXT_FILE_BEGIN_FIXED = 13;
constexpr int EXT_FILE_DATA_FIXED = 8;
constexpr int EXT_FILE_ABORT_SIZE = 4;
constexpr int EXT_RECEIPT_SIZE = 5;
// Named file sizes from here on are nonsense, refused.
constexpr quint64 EXT_FILE_SIZE_LIMIT = quint64(1) << 62;

struct FrameHeader
{
    quint8 kind = 0;
    quint32 length = 0;
    quint16 index = 0;
    // Bytes 7 to 9, unused by classic frames.
    quint8 spare[3] = {0, 0, 0};

    // Writes the 10 header bytes to `out`, unused bytes as zero unless set.
    void encode(char *out) const;
    static FrameHeader decode(const char *in);

    static bool isExtensionKind(quint8 kind) { return kind >= FRAME_EXT_HELLO && kind <= FRAME_EXT_RECEIPT; }
    // Byte 5, the format of an extension frame.
    quint8 format() const { return quint8(index >> 8); }
    bool isKnownExtension() const { return isExtensionKind(kind) && format() == EXT_FORMAT; }
    // An empty RS frame carrying the marker; its version is 0 when it is not one.
    quint8 announcedVersion() const;

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

QByteArray announcementFrame();
QByteArray extHelloFrame(quint32 features);
QByteArray extTextFrame(const QByteArray &utf8);
// `name` as safeFileName() leaves it.
QByteArray extFileBeginFrame(quint32 transferId, quint64 size, const QString &name);
QByteArray extFileDataFrame(quint32 transferId, quint32 chunk, const QByteArray &data);
// The data frame's header and fixed fields, for a frame built in place.
void writeExtFileDataHead(char *out, quint32 transferId, quint32 chunk, quint32 dataSize);
QByteArray extFileAbortFrame(quint32 transferId);
QByteArray extReceiptFrame(quint32 transferId, quint8 outcome);
// Data frames a named file of `size` bytes travels as.
quint64 extChunkCount(quint64 size);
// The base name of `name` without control characters, cut to MAX_EXT_NAME
// UTF-8 bytes at a character boundary: what a peer may be given or shown.
QString safeFileName(const QString &name);

// Payloads of extension frames, decoded; false when one does not fit its kind.
struct ExtFileBegin
{
    quint32 transferId = 0;
    quint64 size = 0;
    QString name;
};
bool parseExtHello(const QByteArray &payload, quint8 *version, quint32 *features);
bool parseExtFileBegin(const QByteArray &payload, ExtFileBegin *begin);
bool parseExtFileData(const QByteArray &payload, quint32 *transferId, quint32 *chunk);
bool parseExtTransferId(const QByteArray &payload, quint32 *transferId);
bool parseExtReceipt(const QByteArray &payload, quint32 *transferId, quint8 *outcome);
// Longest payload an extension frame of `kind` may have.
quint32 maxExtPayload(quint8 kind);
}
