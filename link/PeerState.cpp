#include "PeerState.h"

#include <QTcpSocket>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

bool PeerState::hasLeft(const QTcpSocket *socket)
{
    if (socket->state() != QAbstractSocket::ConnectedState)
        return true;
#ifdef Q_OS_LINUX
    tcp_info info = {};
    socklen_t size = sizeof info;
    if (getsockopt(int(socket->socketDescriptor()), IPPROTO_TCP, TCP_INFO, &info, &size) != 0)
        return false;
    switch (info.tcpi_state) {
    case TCP_CLOSE_WAIT:
    case TCP_LAST_ACK:
    case TCP_CLOSE:
        return true;
    default:
        return false;
    }
#else
    return false;
#endif
}
