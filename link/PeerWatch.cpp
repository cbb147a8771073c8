#include "PeerWatch.h"

#include <QTcpSocket>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

PeerWatch::PeerWatch(QTcpSocket *socket, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
{
#ifdef Q_OS_LINUX
    m_poll.setInterval(POLL_INTERVAL_MS);
    connect(&m_poll, &QTimer::timeout, this, &PeerWatch::check);
    connect(socket, &QAbstractSocket::stateChanged, this, &PeerWatch::watchWhileConnected);
    watchWhileConnected();
#endif
}

bool PeerWatch::hasLeft(const QTcpSocket *socket)
{
    if (socket->state() != QAbstractSocket::ConnectedState)
        return true;
#ifdef Q_OS_LINUX
    tcp_info info = {};
    socklen_t size = sizeof info;
    if (::getsockopt(int(socket->socketDescriptor()), IPPROTO_TCP, TCP_INFO, &info, &size) != 0)
        return false;
    return info.tcpi_state == TCP_CLOSE_WAIT || info.tcpi_state == TCP_LAST_ACK || info.tcpi_state == TCP_CLOSE;
#else
    return false;
#endif
}

void PeerWatch::watchWhileConnected()
{
    m_unansweredPolls = 0;
    if (m_socket->state() == QAbstractSocket::ConnectedState)
        m_poll.start();
    else
        m_poll.stop();
}

void PeerWatch::check()
{
#ifdef Q_OS_LINUX
    tcp_info info = {};
    socklen_t size = sizeof info;
    if (::getsockopt(int(m_socket->socketDescriptor()), IPPROTO_TCP, TCP_INFO, &info, &size) != 0)
        return;
    // Data from the peer is a word too: the kernel's acknowledgement clock
    // skips data segments that acknowledge nothing new.
    const unsigned silentMs = qMin(info.tcpi_last_ack_recv, info.tcpi_last_data_recv);
    const bool silent = silentMs >= SILENCE_LIMIT_MS;
    // A peer that drops what does not fit still answers each resend, so one
    // poll just after a resend proves nothing; the next one does.
    const bool sentSinceSilent = info.tcpi_unacked > 0 && info.tcpi_last_data_sent < silentMs;
    m_unansweredPolls = silent && sentSinceSilent ? m_unansweredPolls + 1 : 0;
    // Any answer resets the kernel's count of unanswered probes.
    const bool probesUnanswered = info.tcpi_probes >= UNANSWERED_PROBES;
    if (m_unansweredPolls >= 2 || (silent && probesUnanswered))
        drop();
#endif
}

// As the peer's own close would: what already arrived stays readable, unless
// Qt still holds bytes for the peer, which only an abort discards. The kernel
// resets the connection and frees what it held for the peer at once.
void PeerWatch::drop()
{
#ifdef Q_OS_LINUX
    const linger resetOnClose = {1, 0};
    ::setsockopt(int(m_socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof resetOnClose);
#endif
    if (m_socket->bytesToWrite() > 0)
        m_socket->abort();
    else
        m_socket->disconnectFromHost();
}
