#pragma once

#include <QObject>

#include <memory>

class ITimers;
class QIODevice;
class QTcpSocket;

// One file going out on a connection, on the event loop: FILE frames of
// CHUNK_SIZE bytes, each full chunk followed by a one-second pause, and the
// next frame only once the pause is over and the socket has handed the
// previous one on. A peer that does not read therefore holds the send, not
// the program. Cancelling stops between two frames.
class PacedFileSend : public QObject
{
    Q_OBJECT

public:
    enum class Outcome { Sent, Cancelled, ConnectionLost, ReadFailed };
    Q_ENUM(Outcome)

    // `file` is open for reading and fits the 16-bit chunk index.
    PacedFileSend(QTcpSocket *socket, std::unique_ptr<QIODevice> file, ITimers &timers,
                  QObject *parent = nullptr);
    ~PacedFileSend() override;

    // Sends the first frame; finished() follows once the last is out.
    void start();
    void cancel();
    // The connection ended under the send.
    void connectionLost();

    int framesSent() const { return m_next; }
    int frameCount() const { return int(m_fullChunks) + 1; }
    // Pauses still to come, the one running included: the send's seconds left.
    int secondsLeft() const;
    bool waitingForPeer() const { return m_waitingForPeer; }

    static constexpr int CHUNK_PAUSE_MS = 1000;
    // Unsent bytes the socket may still hold when the next frame goes out.
    static constexpr qint64 SEND_HIGH_WATER = 4 * 1024;

signals:
    // A frame went out, or waiting for the peer began or ended.
    void progressed();
    // The owner deletes this object later.
    void finished(PacedFileSend::Outcome outcome);

private:
    void sendNext();
    void trySend();
    void finish(Outcome outcome);

    QTcpSocket *m_socket;
    std::unique_ptr<QIODevice> m_file;
    ITimers &m_timers;
    quint32 m_length;
    quint32 m_fullChunks;
    int m_next = 0;
    bool m_pauseRunning = false;
    bool m_waitingForPeer = false;
    bool m_done = false;
};
