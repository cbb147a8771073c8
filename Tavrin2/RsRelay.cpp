#include "RsRelay.h"

#include "CSocket.h"
#include "SerialPort.h"
#include "Timers.h"

#include <QPointer>

RsRelay::RsRelay(CConnSocket *connection, CSerialPort *serial, ITimers &timers)
    : QObject(connection)
    , m_connection(connection)
    , m_serial(serial)
    , m_timers(timers)
{
    using Kind = WaitingFrame::Kind;
    connect(connection, &CConnSocket::textReceived, this,
            [this](const QByteArray &text) { passOn({Kind::Text, text, {}, 0, 0}); });
    connect(connection, &CConnSocket::fileReceived, this,
            [this](const ReceivedFile &file) { passOn({Kind::File, {}, file, 0, 0}); });
    connect(connection, &CConnSocket::fileRefused, this, [this](quint64 length, qint64 available) {
        passOn({Kind::FileRefused, {}, {}, length, available});
    });
    connect(connection, &CConnSocket::rsReceived, this, &RsRelay::relay);
    if (serial)
        connect(serial, &CSerialPort::pauseOver, this, &RsRelay::lineDone);
}

void RsRelay::relay(const QByteArray &firstByte)
{
    if (!m_serial)
        return;
    if (m_connection->state() != CConnSocket::State::Open) {
        ++m_dropped;
        return;
    }
    if (!m_backlog.empty() && m_backlog.back().firstByte == firstByte)
        ++m_backlog.back().count;
    else
        m_backlog.push_back({firstByte, 1});
    ++m_backlogCount;
    feedLine();
    setHeld(HoldReason::BacklogFull, m_backlog.size() >= size_t(MAX_RS_RUNS));
    if (!m_backlog.empty() && ++m_batch == RS_BATCH) {
        // A flood is read on, but not at the cost of the other Terminals.
        m_batch = 0;
        setHeld(HoldReason::BatchPause, true);
        m_timers.singleShot(RS_BATCH_PAUSE_MS, this, [this] { setHeld(HoldReason::BatchPause, false); });
    }
    emit waitingChanged(waiting());
}

void RsRelay::passOn(const WaitingFrame &frame)
{
    if (m_onLine || !m_backlog.empty()) {
        m_waitingFrame = frame;
        setHeld(HoldReason::FrameWaiting, true);
        return;
    }
    report(frame);
}

void RsRelay::report(const WaitingFrame &frame)
{
    switch (frame.kind) {
    case WaitingFrame::Kind::Text:
        emit textReceived(frame.text);
        break;
    case WaitingFrame::Kind::File:
        emit fileReceived(frame.file);
        break;
    case WaitingFrame::Kind::FileRefused:
        emit fileRefused(frame.refusedLength, frame.available);
        break;
    case WaitingFrame::Kind::None:
        break;
    }
}

void RsRelay::feedLine()
{
    if (m_onLine || m_backlog.empty())
        return;
    RsRun &front = m_backlog.front();
    const QByteArray firstByte = front.firstByte;
    if (--front.count == 0)
        m_backlog.pop_front();
    --m_backlogCount;
    m_onLine = true;
    setHeld(HoldReason::BacklogFull, m_backlog.size() >= size_t(MAX_RS_RUNS));
    m_serial->WriteByte(firstByte, m_connection);
}

void RsRelay::lineDone(QObject *requester)
{
    if (requester != m_connection)
        return;
    m_onLine = false;
    feedLine();
    emit waitingChanged(waiting());
    if (m_onLine || !m_backlog.empty() || m_waitingFrame.kind == WaitingFrame::Kind::None)
        return;
    // From the event loop rather than from the line's timer: a dialog that
    // the frame opens must not hold the line up for the other Terminals.
    QMetaObject::invokeMethod(this, &RsRelay::reportWaitingFrame, Qt::QueuedConnection);
}

void RsRelay::reportWaitingFrame()
{
    if (m_waitingFrame.kind == WaitingFrame::Kind::None)
        return;
    const WaitingFrame frame = std::move(m_waitingFrame);
    m_waitingFrame = {};
    // A dialog the frame opens may see the connection, and this, deleted.
    const QPointer<RsRelay> alive(this);
    report(frame);
    if (alive)
        setHeld(HoldReason::FrameWaiting, false);
}

void RsRelay::peerLeaving()
{
    m_dropped += int(m_backlogCount);
    dropBacklog();
    reportWaitingFrame();
}

void RsRelay::discard()
{
    if (m_serial)
        m_serial->discard(m_connection);
    m_waitingFrame = {};
    dropBacklog();
}

void RsRelay::dropBacklog()
{
    m_backlog.clear();
    m_backlogCount = 0;
    setHeld(HoldReason::BacklogFull, false);
    emit waitingChanged(waiting());
}

void RsRelay::setHeld(HoldReason reason, bool held)
{
    const bool wasHeld = m_holds != HoldReasons();
    m_holds.setFlag(reason, held);
    const bool isHeld = m_holds != HoldReasons();
    if (isHeld && !wasHeld)
        m_connection->holdReading();
    else if (wasHeld && !isHeld)
        m_connection->resumeReading();
}
