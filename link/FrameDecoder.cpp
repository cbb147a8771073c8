#include "FrameDecoder.h"

#include <algorithm>
#include <cstring>

FrameDecoder::FrameDecoder(int textKeep)
    : m_textKeep(textKeep)
{
    m_payload.reserve(std::max(CHUNK_SIZE, textKeep));
}

quint32 FrameDecoder::keepLimit() const
{
    switch (m_header.kind) {
    case FRAME_TEXT:
        return std::min<quint32>(m_header.length, quint32(m_textKeep));
    case FRAME_FILE:
        return m_header.payloadSize();
    case FRAME_RS:
        return std::min<quint32>(m_header.length, 1);
    default:
        // An oversized one is dropped whole and skipped by its owner.
        if (m_header.isKnownExtension() && m_header.length <= FrameCodec::maxExtPayload(m_header.kind))
            return m_header.length;
        return 0;
    }
}

void FrameDecoder::startPayload()
{
    m_header = FrameHeader::decode(m_head);
    m_headFill = 0;
    m_remaining = m_header.payloadSize();
    m_keep = keepLimit();
    m_dropped = 0;
    m_payload.resize(0);
    m_state = m_remaining == 0 ? State::Ready : State::Payload;
}

qsizetype FrameDecoder::feed(const char *data, qsizetype size)
{
    qsizetype taken = 0;
    while (taken < size && m_state != State::Ready) {
        if (m_state == State::Header) {
            const qsizetype step = std::min<qsizetype>(FRAME_HEADER_SIZE - m_headFill, size - taken);
            std::memcpy(m_head + m_headFill, data + taken, size_t(step));
            m_headFill += int(step);
            taken += step;
            if (m_headFill == FRAME_HEADER_SIZE)
                startPayload();
            continue;
        }
        const qsizetype step = std::min<qsizetype>(m_remaining, size - taken);
        const qsizetype room = qsizetype(m_keep) - m_payload.size();
        const qsizetype kept = std::min(step, room);
        if (kept > 0)
            m_payload.append(data + taken, kept);
        m_dropped += quint32(step - kept);
        m_remaining -= quint32(step);
        taken += step;
        if (m_remaining == 0)
            m_state = State::Ready;
    }
    return taken;
}

void FrameDecoder::nextFrame()
{
    m_state = State::Header;
    m_headFill = 0;
    m_payload.resize(0);
}

bool FrameDecoder::midFrame() const
{
    return (m_state == State::Header && m_headFill > 0) || m_state == State::Payload;
}
