#pragma once

#include "FileReception.h"

#include <QByteArray>
#include <QFlags>
#include <QObject>

#include <deque>

class CConnSocket;
class CSerialPort;
class ITimers;

// Carries the RS control strings of one Terminal to the serial line, one of
// them in the line's queue at a time, and passes the Terminal's other frames
// on in the order they came. Strings that follow the one in the queue wait
// here, their first bytes kept as runs of equal bytes, so that a flood of
// equal strings costs one run and a Terminal that floods and leaves is seen
// to leave. A text or file that comes behind waiting strings waits until
// they are on the line.
//
// The connection's reading is held while a frame waits, while MAX_RS_RUNS
// runs wait (bounding what the Terminal costs in memory), and for
// RS_BATCH_PAUSE_MS after every RS_BATCH strings that had to wait (bounding
// it in time, so the other Terminals are read too). The relay is a child of
// its connection.
class RsRelay : public QObject
{
    Q_OBJECT

public:
    enum class HoldReason {
        BacklogFull = 0x1,
        FrameWaiting = 0x2,
        BatchPause = 0x4,
    };
    Q_DECLARE_FLAGS(HoldReasons, HoldReason)
    Q_FLAG(HoldReasons)

    // Without `serial` RS strings go nowhere and cost nothing.
    RsRelay(CConnSocket *connection, CSerialPort *serial, ITimers &timers);

    // RS strings not yet written to the line, the one in its queue included.
    quint64 waiting() const { return m_backlogCount + (m_onLine ? 1 : 0); }
    // RS strings dropped because the Terminal had left.
    int dropped() const { return m_dropped; }
    HoldReasons holdReasons() const { return m_holds; }

    // The Terminal left: its string in the line's queue still goes out, the
    // others are dropped, and a frame that waited behind them is passed on.
    void peerLeaving();
    // Drops everything still waiting, the line's queue included.
    void discard();

    static constexpr int MAX_RS_RUNS = 1024;
    static constexpr int RS_BATCH = 1024;
    static constexpr int RS_BATCH_PAUSE_MS = 10;

signals:
    // The connection's frames, in order.
    void textReceived(const QByteArray &text);
    void fileReceived(const ReceivedFile &file);
    void fileRefused(quint64 length, qint64 available);
    // waiting() changed.
    void waitingChanged(quint64 waiting);

private:
    struct RsRun
    {
        QByteArray firstByte;
        quint64 count;
    };
    // The frame that came behind waiting RS strings.
    struct WaitingFrame
    {
        enum class Kind { None, Text, File, FileRefused };
        Kind kind = Kind::None;
        QByteArray text;
        ReceivedFile file;
        quint64 refusedLength = 0;
        qint64 available = 0;
    };

    void relay(const QByteArray &firstByte);
    // Reports `frame` now, or once the strings before it are on the line.
    void passOn(const WaitingFrame &frame);
    void report(const WaitingFrame &frame);
    void feedLine();
    void lineDone(QObject *requester);
    void reportWaitingFrame();
    void dropBacklog();
    void setHeld(HoldReason reason, bool held);

    CConnSocket *m_connection;
    CSerialPort *m_serial;
    ITimers &m_timers;
    std::deque<RsRun> m_backlog;
    quint64 m_backlogCount = 0;
    bool m_onLine = false;
    WaitingFrame m_waitingFrame;
    // Strings that had to wait since reading last paused for a while.
    int m_batch = 0;
    int m_dropped = 0;
    HoldReasons m_holds;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(RsRelay::HoldReasons)
