#pragma once

#include <QObject>
#include <QTimer>

class QTcpSocket;

// Drops a connection whose peer went silent while something of ours waits
// for its answer: SILENCE_LIMIT_MS without a word from it, and either data
// sent since then and still unacknowledged at two polls in a row, or
// UNANSWERED_PROBES window probes in a row. A peer that answers keeps its
// connection however long it leaves its window closed: the system backs its
// probes off to two minutes apart, and a peer gone behind a closed window is
// noticed within about four. Idle connections are the keepalive's. Polls
// what the kernel reports every POLL_INTERVAL_MS; on systems other than Linux
// it does nothing.
class PeerWatch : public QObject
{
    Q_OBJECT

public:
    // Watches `socket` from its connection on. `parent` owns the watch and
    // goes no later than the socket: the socket itself, as a rule.
    PeerWatch(QTcpSocket *socket, QObject *parent);

    // True when the peer has closed or reset the connection, even behind
    // bytes this end has not read yet. Where the system cannot tell, false:
    // the close then shows once the bytes before it are read.
    static bool hasLeft(const QTcpSocket *socket);

    static constexpr int POLL_INTERVAL_MS = 5000;
    static constexpr unsigned SILENCE_LIMIT_MS = 45000;
    static constexpr int UNANSWERED_PROBES = 2;

private:
    void watchWhileConnected();
    void check();
    void drop();

    QTcpSocket *m_socket;
    QTimer m_poll;
    // Polls in a row that found data sent after the peer fell silent.
    int m_unansweredPolls = 0;
};
