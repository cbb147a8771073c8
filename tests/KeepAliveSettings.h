#pragma once

#include <QTcpSocket>
#include <QtGlobal>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

// The keepalive settings a socket's descriptor holds, as the system reports
// them back, for comparing against KeepAlive's constants.
struct KeepAliveSettings
{
    int enabled = -1;
    int idleSeconds = -1;
    int intervalSeconds = -1;
    int probeCount = -1;
    unsigned userTimeoutMs = 0;

    static KeepAliveSettings of(const QTcpSocket *socket)
    {
        KeepAliveSettings settings;
        const int fd = int(socket->socketDescriptor());
        const auto read = [fd](int level, int option, auto *value) {
            socklen_t size = sizeof *value;
            getsockopt(fd, level, option, value, &size);
        };
        read(SOL_SOCKET, SO_KEEPALIVE, &settings.enabled);
        read(IPPROTO_TCP, TCP_KEEPIDLE, &settings.idleSeconds);
        read(IPPROTO_TCP, TCP_KEEPINTVL, &settings.intervalSeconds);
        read(IPPROTO_TCP, TCP_KEEPCNT, &settings.probeCount);
        read(IPPROTO_TCP, TCP_USER_TIMEOUT, &settings.userTimeoutMs);
        return settings;
    }

    bool operator==(const KeepAliveSettings &other) const
    {
        return enabled == other.enabled && idleSeconds == other.idleSeconds
               && intervalSeconds == other.intervalSeconds && probeCount == other.probeCount
               && userTimeoutMs == other.userTimeoutMs;
    }
};

inline char *toString(const KeepAliveSettings &s)
{
    return qstrdup(QByteArray("keepalive=" + QByteArray::number(s.enabled) + " idle="
                              + QByteArray::number(s.idleSeconds) + " interval="
                              + QByteArray::number(s.intervalSeconds) + " probes="
                              + QByteArray::number(s.probeCount) + " user-timeout="
                              + QByteArray::number(s.userTimeoutMs))
                       .constData());
}

// What KeepAlive::enable() sets: no user timeout, which would end a
// connection whose live peer keeps its window closed.
inline KeepAliveSettings linkKeepAlive()
{
    return {1, 15, 5, 5, 0};
}
