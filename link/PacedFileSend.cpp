#include "PacedFileSend.h"

#include "Frame.h"
#include "SendQueue.h"
#include "Timers.h"

#include <QIODevice>
#include <QTcpSocket>

PacedFileSend::PacedFileSend(QTcpSocket *socket, QIODevice *file, ITimers &timers, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_file(file)
    , m_timers(timers)
    , m_length(quint32(m_file->size()))
    , m_fullChunks(m_length / CHUNK_SIZE)
{
    m_file->setParent(this);
    m_recheck.setSingleShot(true);
    connect(&m_recheck, &QTimer::timeout, this, &PacedFileSend::trySend);
}

PacedFileSend::~PacedFileSend() = default;

void PacedFileSend::start()
{
    connect(m_socket, &QTcpSocket::bytesWritten, this, &PacedFileSend::trySend);
    connect(m_socket, &QTcpSocket::disconnected, this, &PacedFileSend::connectionLost);
    sendNext();
}

int PacedFileSend::secondsLeft() const
{
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

void PacedFileSend::trySend()
{
    if (m_done || m_pauseRunning || m_next == frameCount())
        return;
    const bool peerBehind = SendQueue::heldBackBytes(m_socket) > SEND_HIGH_WATER;
    if (peerBehind != m_waitingForPeer) {
        m_waitingForPeer = peerBehind;
        emit progressed();
    }
    if (peerBehind) {
        if (!m_recheck.isActive()) {
            m_recheck.start(m_recheckMs);
            m_recheckMs = qMin(2 * m_recheckMs, LAST_RECHECK_MS);
        }
        return;
    }
    m_recheckMs = FIRST_RECHECK_MS;
    sendNext();
}

void PacedFileSend::cancel()
{
    finish(Outcome::Cancelled);
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
