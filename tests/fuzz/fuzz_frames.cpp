// Feeds arbitrary bytes through the frame reader as a connection does, cut
// into pieces of fuzzer-chosen sizes, and checks that the reader takes
// exactly the bytes each header implies, never stalls, keeps no more of a
// payload than its kind uses, and that file frames, classic and named,
// pass file reception.
//
// An input is one control byte followed by the byte stream. Bits 0-1 of the
// control byte choose the room for a text (the Station's line after a slot
// prefix, the Terminal's line, or a tiny one); bits 2-4 choose the largest
// piece (0: the whole stream at once) and bits 5-7 seed the piece sizes.

#include "FileFrameCheck.h"
#include "FrameDecoder.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>

namespace {
constexpr int TEXT_ROOMS[] = {196, 199, 1, 0};
// Cuts inside and at the end of a header, and across a full file frame.
constexpr qsizetype LARGEST_PIECES[] = {0, 1, 3, 9, 10, 11, 2010, 4096};

void require(bool holds, const char *what)
{
    if (!holds) {
        std::fprintf(stderr, "frame reader: %s\n", what);
        std::abort();
    }
}

std::function<qsizetype()> pieceSizes(quint8 control)
{
    const qsizetype largest = LARGEST_PIECES[(control >> 2) & 7];
    quint32 state = 0x9E3779B9u * (quint32(control >> 5) + 1);
    return [largest, state]() mutable -> qsizetype {
        if (largest == 0)
            return std::numeric_limits<qsizetype>::max();
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return 1 + qsizetype(state % quint32(largest));
    };
}

// What a receiver uses of a payload of this frame.
quint32 usedPart(const FrameHeader &header, int textRoom)
{
    switch (header.kind) {
    case FRAME_TEXT:
        return std::min<quint32>(header.length, quint32(textRoom));
    case FRAME_RS:
        return std::min<quint32>(header.length, 1);
    case FRAME_FILE:
        return header.payloadSize();
    default:
        return header.isKnownExtension() && header.length <= FrameCodec::maxExtPayload(header.kind) ? header.length
                                                                                                    : 0;
    }
}

// `frame` points at the ready frame's first byte in the stream.
void checkFrame(const FrameDecoder &decoder, int textRoom, const char *frame, quint64 taken)
{
    const FrameHeader &header = decoder.header();
    const QByteArray &payload = decoder.payload();
    require(taken == FRAME_HEADER_SIZE + quint64(header.payloadSize()),
            "a frame took other than the bytes its header implies");
    require(header.kind != FRAME_FILE || header.payloadSize() <= quint32(CHUNK_SIZE),
            "a file frame's payload exceeds a chunk");
    require(quint32(payload.size()) == usedPart(header, textRoom), "a payload kept other than what its kind uses");
    require(quint64(payload.size()) + decoder.droppedBytes() == header.payloadSize(),
            "kept and dropped bytes do not add up to the payload");
    require(std::memcmp(payload.constData(), frame + FRAME_HEADER_SIZE, size_t(payload.size())) == 0,
            "the kept bytes are not the payload's first bytes");
    require(payload.capacity() <= 2 * (EXT_FILE_DATA_FIXED + EXT_CHUNK_SIZE), "a payload's buffer outgrew its bound");
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const int textRoom = TEXT_ROOMS[data[0] & 3];
    auto nextPiece = pieceSizes(data[0]);
    const char *stream = reinterpret_cast<const char *>(data + 1);
    const qsizetype total = qsizetype(size - 1);

    FrameDecoder decoder(textRoom);
    FileFrameCheck files;
    qsizetype frameStart = 0;
    qsizetype at = 0;
    while (at < total) {
        const qsizetype pieceEnd = at + std::min(nextPiece(), total - at);
        while (at < pieceEnd) {
            const qsizetype taken = decoder.feed(stream + at, pieceEnd - at);
            require(taken > 0 && taken <= pieceEnd - at, "feed took no bytes, or more than it was given");
            at += taken;
            require(at == pieceEnd || decoder.frameReady(), "feed stopped before a frame's end and the bytes' end");
            if (!decoder.frameReady())
                continue;
            const char spare = 0;
            require(decoder.feed(&spare, 1) == 0, "feed took bytes while a frame was ready");
            checkFrame(decoder, textRoom, stream + frameStart, quint64(at - frameStart));
            if (decoder.header().kind == FRAME_FILE)
                files.receive(decoder.header(), decoder.payload());
            else if (decoder.header().isKnownExtension() && decoder.droppedBytes() == 0)
                files.receiveExtension(decoder.header().kind, decoder.payload());
            decoder.nextFrame();
            frameStart = at;
        }
    }
    require(decoder.midFrame() == (frameStart < total), "midFrame() disagrees with the bytes taken");
    return 0;
}
