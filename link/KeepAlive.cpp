#include "KeepAlive.h"

#include <QTcpSocket>

#include <memory>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace {
bool apply(QTcpSocket *socket)
{
#ifdef Q_OS_LINUX
    const int fd = int(socket->socketDescriptor());
    const int on = 1;
    const int idle = KeepAlive::IDLE_SECONDS;
    const int interval = KeepAlive::INTERVAL_SECONDS;
    const int probes = KeepAlive::PROBE_COUNT;
    return setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0
           && setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) == 0
           && setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) == 0
           && setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) == 0;
#else
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    return true;
#endif
}
}

bool KeepAlive::enable(QTcpSocket *socket)
{
    if (socket->socketDescriptor() != -1)
        return apply(socket);
    // Qt creates the descriptor only when the attempt to connect begins.
    auto pending = std::make_shared<QMetaObject::Connection>();
    *pending = QObject::connect(socket, &QAbstractSocket::stateChanged, socket, [socket, pending] {
        if (socket->socketDescriptor() == -1)
            return;
        QObject::disconnect(*pending);
        apply(socket);
    });
    return true;
}
