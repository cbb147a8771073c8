#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

class ITimers;
class QIODevice;
class QTcpSocket;

// One file going out on a connection, on the event loop: FILE frames of
// CHUNK_SIZE bytes, each full chunk followed by a one-second pause, and the
// next frame only once the pause is over and the previous one is on its
// way, neither in Qt's buffer nor behind the peer's closed window. A peer
// that does not read therefore holds the send, not the program. Cancelling
// stops between two frames.
//
// To a peer that speaks the extension the file streams instead, as a named
// file: FILE_BEGIN, then FILE_DATA frames of EXT_CHUNK_SIZE bytes without
// pauses, each one as soon as Qt holds no more than STREAM_HIGH_WATER bytes
// of it; waitingForPeer() then tells that Qt holds more. Cancelling, or
// failing to read, tells the peer by FILE_ABORT.
class PacedFileSend : public QObject
{
    Q_OBJECT

public:
    // Refused: the receiver has no room for the file.
    enum class Outcome { Sent, Cancelled, ConnectionLost, ReadFailed, Refused };
    Q_ENUM(Outcome)

    // `file` is open for reading and fits the 16-bit chunk index; the
    // send takes it as its child.
    PacedFileSend(QTcpSocket *socket, QIODevice *file, ITimers &timers, QObject *parent = nullptr);
    // Streams `file` as the named file `name` numbered `transferId` (not 0).
    PacedFileSend(QTcpSocket *socket, QIODevice *file, ITimers &timers, quint32 transferId, const QString &name,
                  QObject *parent = nullptr);
    ~PacedFileSend() override;

    // Sends the first frame; finished() follows once the last is out.
    void start();
    void cancel();
    // The connection ended under the send.
    void connectionLost();
    // The receiver has no room for the named file.
    void refused();

    quint32 transferId() const { return m_transferId; }
    bool streams() const { return m_transferId != 0; }
    int framesSent() const { return m_next; }
    int frameCount() const;
    // Pauses still to come, the one running included: the send's seconds
    // left; -1 (unknown) for a stream.
    int secondsLeft() const;
    bool waitingForPeer() const { return m_waitingForPeer; }

    static constexpr int CHUNK_PAUSE_MS = 1000;
    // Bytes that may still wait for the peer, in Qt or behind its closed
    // window, when the next frame goes out.
    static constexpr qint64 SEND_HIGH_WATER = 4 * 1024;
    // Bytes Qt may hold for a stream when the next frame goes out. Only
    // Qt's buffer counts: the kernel's send buffer, which autotuning sizes
    // to the bandwidth-delay product, keeps the link busy whatever the
    // round trip, and bytesWritten() says when Qt hands it more, without
    // polling. A few chunks, so that the kernel never waits for the next
    // turn of the event loop to be given more.
    static constexpr qint64 STREAM_HIGH_WATER = 4 * 64 * 1024;
    // How soon a send held by the peer looks again, since bytesWritten()
    // says nothing of what the kernel holds: at once, as a window closed
    // only while a fast peer catches up reopens within a millisecond or so,
    // then twice as late each time up to the last.
    static constexpr int FIRST_RECHECK_MS = 1;
    static constexpr int LAST_RECHECK_MS = 250;

signals:
    // A frame went out, or waiting for the peer began or ended.
    void progressed();
    // The owner deletes this object later.
    void finished(PacedFileSend::Outcome outcome);

private:
    void sendNext();
    void sendNextStreamed();
    void trySend();
    void abortStream(Outcome outcome);
    void finish(Outcome outcome);

    QTcpSocket *m_socket;
    QIODevice *m_file;
    ITimers &m_timers;
    quint64 m_length;
    quint32 m_fullChunks;
    quint32 m_transferId = 0;
    QString m_name;
    int m_next = 0;
    bool m_pauseRunning = false;
    // Inside trySend(): flush() reports bytesWritten at once.
    bool m_sending = false;
    bool m_waitingForPeer = false;
    bool m_done = false;
    QTimer m_recheck;
    QByteArray m_frame;
    int m_recheckMs = FIRST_RECHECK_MS;
};
