#pragma once

#include "Frame.h"

#include <QByteArray>

// Incremental reader of the frame stream. It takes bytes as they arrive, in
// pieces of any size, and stops after each complete frame so that the owner
// can act on it. It keeps only what a receiver uses of a payload (a text up
// to `textKeep` bytes, the first RS byte, a file chunk, an extension frame
// within its kind's limit, nothing of an unknown kind or an oversized
// extension frame) and drops the rest as it passes, so its memory stays
// within one extension chunk whatever a header claims.
class FrameDecoder
{
public:
    explicit FrameDecoder(int textKeep);

    // Takes bytes from `data` until a frame is complete or the bytes run
    // out; returns how many it took. Takes nothing while a frame is ready.
    qsizetype feed(const char *data, qsizetype size);

    bool frameReady() const { return m_state == State::Ready; }
    const FrameHeader &header() const { return m_header; }
    // The kept part of the ready frame's payload.
    const QByteArray &payload() const { return m_payload; }
    // Payload bytes of the ready frame that were dropped, not kept.
    quint32 droppedBytes() const { return m_dropped; }
    // Goes on to the next frame once the ready one has been handled.
    void nextFrame();

    // True while part of a frame has been taken but not all of it.
    bool midFrame() const;

private:
    enum class State { Header, Payload, Ready };

    quint32 keepLimit() const;
    void startPayload();

    State m_state = State::Header;
    char m_head[FRAME_HEADER_SIZE];
    int m_headFill = 0;
    FrameHeader m_header;
    quint32 m_remaining = 0;
    quint32 m_keep = 0;
    quint32 m_dropped = 0;
    int m_textKeep;
    QByteArray m_payload;
};
