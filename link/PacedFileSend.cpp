#include "PacedFileSend.h"

#include "Frame.h"
#include "SendQueue.h"
#include "Timers.h"

#include <QIODevice>
#include <QScopedValueRollback>
#include <QTcpSocket>

PacedFileSend::PacedFileSend(QTcpSocket *socket, QIODevice *file, ITimers &timers, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_file(file)
    , m_timers(timers)
    , m_length(quint64(m_file->size()))
    , m_fullChunks(quint32(m_length / CHUNK_SIZE))
{
    m_file->setParent(this);
    m_recheck.setSingleShot(true);
    connect(&m_recheck, &QTimer::timeout, this, &PacedFileSend::trySend);
}

PacedFileSend::PacedFileSend(QTcpSocket *socket, QIODevice *file, ITimers &timers, quint32 transferId,
                             const QString &name, QObject *parent)
    : PacedFileSend(socket, file, timers, parent)
{
    m_transferId = transferId;
    m_name = name;
}

PacedFileSend::~PacedFileSend() = default;

void PacedFileSend::start()
{
    connect(m_socket, &QTcpSocket::bytesWritten, this, &PacedFileSend::trySend);
    connect(m_socket, &QTcpSocket::disconnected, this, &PacedFileSend::connectionLost);
    if (streams())
        trySend();
    else
        sendNext();
}

int PacedFileSend::frameCount() const
{
    if (streams())
        return int(1 + FrameCodec::extChunkCount(m_length));
    return int(m_fullChunks) + 1;
}

int PacedFileSend::secondsLeft() const
{
    if (streams())
        return -1;
    // Each frame sent but the last is followed by a pause, over unless running.
    const int pausesOver = m_next - (m_pauseRunning ? 1 : 0);
    return int(m_fullChunks) - pausesOver;
}

void PacedFileSend::sendNext()
{
    if (m_socket->state() != QAbstractSocket::ConnectedState) {
        connectionLost();
        return;
    }
    const bool last = quint32(m_next) == m_fullChunks;
    const qint64 size = last ? m_length % CHUNK_SIZE : CHUNK_SIZE;
    const QByteArray chunk = m_file->read(size);
    if (chunk.size() != size) {
        // A short frame would put the receiver out of step.
        finish(Outcome::ReadFailed);
        return;
    }
    const QByteArray frame = FrameCodec::fileFrame(m_length, quint16(m_next), chunk);
    // Set first: flush() reports bytesWritten at once, which comes back to
    // trySend().
    m_pauseRunning = !last;
    if (m_socket->write(frame) != frame.size()) {
        connectionLost();
        return;
    }
    ++m_next;
    // Hands the frame to the kernel now, without waiting, so that the pause
    // runs after it.
    m_socket->flush();
    if (m_done)
        return;
    if (last) {
        finish(Outcome::Sent);
        return;
    }
    m_timers.singleShot(CHUNK_PAUSE_MS, this, [this] {
        m_pauseRunning = false;
        trySend();
    });
    emit progressed();
}

// A stream goes on here for as long as the peer keeps up; a paced send
// leaves at its next pause.
void PacedFileSend::trySend()
{
    if (m_sending)
        return;
    const QScopedValueRollback<bool> sending(m_sending, true);
    while (!m_done && !m_pauseRunning && m_next < frameCount()) {
        const bool peerBehind = streams() ? m_socket->bytesToWrite() > STREAM_HIGH_WATER
                                          : SendQueue::heldBackBytes(m_socket) > SEND_HIGH_WATER;
        if (peerBehind != m_waitingForPeer) {
            m_waitingForPeer = peerBehind;
            emit progressed();
        }
        // A stream goes on at bytesWritten(), when Qt hands the kernel more.
        if (peerBehind && streams())
            return;
        if (peerBehind) {
            if (!m_recheck.isActive()) {
                m_recheck.start(m_recheckMs);
                m_recheckMs = qMin(2 * m_recheckMs, LAST_RECHECK_MS);
            }
            return;
        }
        m_recheckMs = FIRST_RECHECK_MS;
        if (streams())
            sendNextStreamed();
        else
            sendNext();
    }
}

void PacedFileSend::sendNextStreamed()
{
    if (m_socket->state() != QAbstractSocket::ConnectedState) {
        connectionLost();
        return;
    }
    QByteArray frame;
    if (m_next == 0) {
        frame = FrameCodec::extFileBeginFrame(m_transferId, m_length, m_name);
    } else {
        const quint64 offset = quint64(m_next - 1) * EXT_CHUNK_SIZE;
        const qint64 size = qint64(qMin<quint64>(EXT_CHUNK_SIZE, m_length - offset));
        // Built in one buffer kept from frame to frame: a fresh 64 KiB one
        // each time makes malloc hand memory back to the system and take it
        // again, which cost more than the copying.
        constexpr qint64 head = FRAME_HEADER_SIZE + EXT_FILE_DATA_FIXED;
        m_frame.resize(head + size);
        FrameCodec::writeExtFileDataHead(m_frame.data(), m_transferId, quint32(m_next - 1), quint32(size));
        if (m_file->read(m_frame.data() + head, size) != size) {
            abortStream(Outcome::ReadFailed);
            return;
        }
        frame = m_frame;
    }
    if (m_socket->write(frame) != frame.size()) {
        connectionLost();
        return;
    }
    ++m_next;
    m_socket->flush();
    if (m_done)
        return;
    if (m_next == frameCount())
        finish(Outcome::Sent);
    else
        emit progressed();
}

void PacedFileSend::cancel()
{
    if (streams())
        abortStream(Outcome::Cancelled);
    else
        finish(Outcome::Cancelled);
}

void PacedFileSend::refused()
{
    finish(Outcome::Refused);
}

void PacedFileSend::abortStream(Outcome outcome)
{
    if (m_done)
        return;
    if (m_next > 0 && m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->write(FrameCodec::extFileAbortFrame(m_transferId));
    finish(outcome);
}

void PacedFileSend::connectionLost()
{
    finish(Outcome::ConnectionLost);
}

void PacedFileSend::finish(Outcome outcome)
{
    if (m_done)
        return;
    m_done = true;
    m_recheck.stop();
    m_socket->disconnect(this);
    emit finished(outcome);
}
